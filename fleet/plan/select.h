#ifndef MODFLASH_FLEET_PLAN_SELECT_H_
#define MODFLASH_FLEET_PLAN_SELECT_H_

#include <string>
#include <vector>

#include "fleet/report/record.h"

namespace modflash::fleet {

/// Whether `text` matches `pattern`, where `*` stands for any run of
/// characters (none too) and `?` for one byte; every other byte for itself.
/// Takes at most pattern length times text length steps, without recursion.
bool GlobMatch(const std::string& pattern, const std::string& text);

/// Whether one of `patterns` matches the reader: its name, "host:port" as
/// written or "address:port".
bool MatchesAny(const std::vector<std::string>& patterns, const Reader& reader);

/// The readers that match one of `only` (all when it is empty) and none of
/// `skip`, in their order.
std::vector<Reader> SelectReaders(const std::vector<Reader>& readers,
                                  const std::vector<std::string>& only,
                                  const std::vector<std::string>& skip);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_PLAN_SELECT_H_
