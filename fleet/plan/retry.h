#ifndef MODFLASH_FLEET_RETRY_H_
#define MODFLASH_FLEET_RETRY_H_

#include <string>
#include <vector>

#include "fleet/plan/inventory.h"

namespace modflash::fleet {

/// The readers to retry from the run folder `folder`, in its report's
/// order: of a program or dry run (or a merge of them) those `failed` or
/// `not-started`; of an audit (`audit`) those that did not answer
/// (`no-module-answer`, `unreachable`, `not-started`). Host names are
/// resolved again. False with `error` set, and no reader, when the folder
/// holds no report, a record lacks a field this needs (a report of another
/// version), a host no longer resolves, or the run is of the other kind.
bool RetryReaders(const std::string& folder, bool audit,
                  const Resolver& resolve, std::vector<Reader>& readers,
                  std::string& error);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_RETRY_H_
