#ifndef MODFLASH_FLEET_RETRY_H_
#define MODFLASH_FLEET_RETRY_H_

#include <string>
#include <vector>

#include "fleet/plan/inventory.h"

namespace modflash::fleet {

/// What a retry takes from a run folder.
struct RetryList {
  /// The readers to retry, in the report's order, each once.
  std::vector<Reader> readers;
  /// The run's --site (from run.json); empty when it had none.
  std::string site;
};

/// The readers to retry from the run folder `folder`, in its report's
/// order: of a program or dry run (or a merge of them) those `failed` or
/// `not-started`; of an audit (`audit`) those that did not answer
/// (`no-module-answer`, `unreachable`, `not-started`). A reader (an address
/// and port) that the report lists more than once is taken once, with a
/// note saying so. Host names are resolved again. False with `error` set,
/// and no reader, when the folder holds no report, an empty one or a torn
/// one (cut off before its end, or with fewer records than run.json
/// counts), a record lacks a field this needs (a report of another
/// version), a host no longer resolves, or the run is of the other kind.
bool RetryReaders(const std::string& folder, bool audit,
                  const Resolver& resolve, RetryList& list, std::string& error);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_RETRY_H_
