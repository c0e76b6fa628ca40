#ifndef MODFLASH_FLEET_CONSOLE_SUMMARY_H_
#define MODFLASH_FLEET_CONSOLE_SUMMARY_H_

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "fleet/report/record.h"

namespace modflash::fleet {

/// The audit's closing table (one row a reader) and the count of each
/// version: "V1.1.0: 412 readers, V2.0.0: 80, no answer: 8"; fitted to
/// `width` (0: no limit).
void AuditSummary(std::ostream& out, const std::vector<ReaderRecord>& records,
                  const std::string& imageVersion, size_t width = 0);

/// The count of each version alone, as AuditSummary ends with it.
std::string VersionCounts(const std::vector<ReaderRecord>& records);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_CONSOLE_SUMMARY_H_
