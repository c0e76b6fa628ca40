#ifndef MODFLASH_FLEET_MERGE_H_
#define MODFLASH_FLEET_MERGE_H_

#include <string>
#include <vector>

#include "fleet/report/run_info.h"

namespace modflash::fleet {

/// What --merge is asked to do: OUT_FOLDER, the run folders, the
/// --unreachable-site arguments (NAME or NAME=INVENTORY) and the whole
/// command line (kept in run.json).
struct MergeRequest {
  std::string out;
  std::vector<std::string> folders;
  std::vector<std::string> unreachable;
  std::vector<std::string> commandLine;
};

/// How a merge ended.
enum class MergeResult {
  kMerged,
  kRefused,    ///< a folder without a report, merged into itself, a bad site
  kWriteFailed  ///< the merged report could not be written
};

/// Reads the run folders, merges them and writes OUT_FOLDER's report.csv,
/// report.jsonl, run.json and report.html, with each record's log copied
/// to logs/RUN/; the readers of unreachable sites follow as not-started.
/// What goes wrong is printed.
MergeResult Merge(const MergeRequest& request);

/// A run folder's name as records name it ("run"), and the site its
/// records belong to: run.json's site, else the folder name.
std::string RunName(const RunFolder& run);
std::string RunSite(const RunFolder& run);

/// A site whose machine could not be reached: it ran nothing, and the
/// readers of its inventory, when the inventory is known, are listed as
/// `not-started`.
struct UnreachableSite {
  std::string name;
  std::vector<Json> records;
};

/// Reads --unreachable-site's NAME or NAME=INVENTORY. False, with the reason
/// printed, for an empty name or an inventory that cannot be read or has
/// errors.
bool ReadUnreachableSite(const std::string& argument, UnreachableSite& site);

/// The records of several runs as one report. Each record names its run
/// and site. For a reader in several runs the latest record stands (latest
/// by its run's start, then its own start time, then argument order) and
/// the earlier ones become its `attempts`, oldest first. A reader is the
/// same when its address (or host) and port are, within the same --site
/// (records without one match across runs). Records keep the order in
/// which their readers first appear.
std::vector<Json> MergeRecords(const std::vector<RunFolder>& runs);

/// run.json of a merge: every image seen, the counts overall and per site,
/// and the runs' names. `merged` holds the unreachable sites' records too;
/// those sites are marked `"reachable": false`.
Json MergeRunInfo(const std::vector<RunFolder>& runs,
                  const std::vector<Json>& merged,
                  const std::vector<std::string>& commandLine,
                  const std::vector<UnreachableSite>& unreachable = {});

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_MERGE_H_
