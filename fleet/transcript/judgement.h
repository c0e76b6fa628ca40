#ifndef MODFLASH_FLEET_TRANSCRIPT_JUDGEMENT_H_
#define MODFLASH_FLEET_TRANSCRIPT_JUDGEMENT_H_

#include <string>

#include "fleet/report/record.h"
#include "process/child_process.h"

namespace modflash::fleet {

/// The record of one run of modflash-audit from its transcript and exit
/// status (as the system reports it): answered, no-module-answer or
/// unreachable, with the version and rate read. With an image version,
/// whether the module already runs it.
void JudgeAudit(const std::string& transcript, int exitStatus,
                const std::string& imageVersion, ReaderRecord& record);

/// The record of a finished update: outcome, exit status, the facts of its
/// transcript and, for a failure, its phase, the module's state and the
/// advice. `killed`: ended by the fleet tool.
void JudgeRun(const std::string& transcript, const process::ChildExit& exit,
              bool killed, bool dryRun, ReaderRecord& record);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_TRANSCRIPT_JUDGEMENT_H_
