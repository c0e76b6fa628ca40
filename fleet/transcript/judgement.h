#ifndef MODFLASH_FLEET_TRANSCRIPT_JUDGEMENT_H_
#define MODFLASH_FLEET_TRANSCRIPT_JUDGEMENT_H_

#include <optional>
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

/// "V1.2.3" (or "1.2.3") compared with another as major, minor, patch:
/// below 0, 0 or above 0; empty when either is not three numbers of up to
/// five digits.
std::optional<int> CompareVersions(const std::string& a, const std::string& b);

/// Whether `moduleVersion` is known to be newer than `imageVersion`: both
/// read as versions and the module's the greater. A version that cannot be
/// read is never taken for newer.
bool NewerThanImage(const std::string& moduleVersion,
                    const std::string& imageVersion);

/// The failure line of an update that the fleet tool ended: that it was
/// interrupted, in which step and, in the transfer, at which address.
std::string InterruptedLine(const TranscriptFacts& facts);

/// A module left alone, after its version read, since it runs the image's
/// version (unless forced): outcome already-current, `current` yes, the
/// read's facts, and a next step that says only the version was compared.
void JudgeCurrent(const TranscriptFacts& read, ReaderRecord& record);

/// A module left alone, after its version read, since it runs a newer
/// version than the image: outcome newer-than-image, module untouched, the
/// read's facts and the advice for a downgrade that was meant.
void JudgeNewer(const TranscriptFacts& read, const std::string& imageVersion,
                ReaderRecord& record);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_TRANSCRIPT_JUDGEMENT_H_
