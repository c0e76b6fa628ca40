#ifndef MODFLASH_FLEET_AUDIT_H_
#define MODFLASH_FLEET_AUDIT_H_

#include <ostream>
#include <string>
#include <vector>

#include "fleet/report.h"

namespace modflash::fleet {

/// The record of one run of modflash-audit from its transcript and exit
/// status (as the system reports it): answered, no-module-answer or
/// unreachable, with the version and rate read. With an image version,
/// whether the module already runs it.
void JudgeAudit(const std::string& transcript, int exitStatus,
                const std::string& imageVersion, ReaderRecord& record);

/// The audit's closing table (one row a reader) and the count of each
/// version: "V1.1.0: 412 readers, V2.0.0: 80, no answer: 8".
void AuditSummary(std::ostream& out, const std::vector<ReaderRecord>& records,
                  const std::string& imageVersion);

/// The count of each version alone, as AuditSummary ends with it.
std::string VersionCounts(const std::vector<ReaderRecord>& records);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_AUDIT_H_
