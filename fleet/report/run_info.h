#ifndef MODFLASH_FLEET_RUN_INFO_H_
#define MODFLASH_FLEET_RUN_INFO_H_

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace modflash::fleet {

using Json = nlohmann::ordered_json;

/// This program's version, from the build.
const char* FleetVersion();

/// "YYYY-MM-DDTHH:MM:SS" of the local time now.
std::string LocalTimeNow();

/// A pause or a continue that a run saw: "pause" or "continue", when
/// (local time, "YYYY-MM-DDTHH:MM:SS") and by what ("key", "--pause",
/// "approval after wave 1", "--continue", "no approval within 30m").
struct HoldEvent {
  std::string event;
  std::string time;
  std::string by;
};

/// At most this many pauses and continues are kept for run.json.
inline constexpr size_t kMaxHoldEvents = 1000;

/// What a run folder's run.json says about a program run, dry run or
/// audit.
struct RunDescription {
  std::string kind;  ///< "program", "dryrun", "audit"
  std::vector<std::string> commandLine;
  std::string startTime;
  std::string endTime;
  std::string imageFile;      ///< as given; empty for an audit without one
  std::string imageVersion;   ///< "V1.2.3"
  std::string imageSha256;    ///< lower-case hexadecimal
  std::string site;           ///< --site; empty when none was given
  std::string retryOf;        ///< --retry's run folder, as given
  std::vector<size_t> waves;  ///< the sizes of the waves that started
  std::string stopped;        ///< why new starts stopped, if they did
  /// The run's pauses and continues; none for a merge (no "holds" key).
  std::optional<std::vector<HoldEvent>> holds;
  /// Whether modflash is the one beside this program (so of its version).
  bool modflashBeside = true;
  /// A merge's: every image of its runs; "image" is then the only one, or
  /// null when there are several.
  std::optional<std::vector<Json>> images;
  /// What follows the counts (a merge's sites and runs).
  Json more = Json::object();
};

/// The run.json object of a run: the description, its image and the counts
/// of the records' outcomes.
Json RunInfo(const RunDescription& run, const std::vector<Json>& records);

/// Counts of each outcome among `records`: those that a run of `kind`
/// always shows (0 included), then any other outcome seen, in a fixed order.
Json CountOutcomes(const std::string& kind, const std::vector<Json>& records);

/// The records of one site (their "site"; "" for none).
struct SiteRecords {
  std::string site;
  std::vector<Json> records;
};

/// `records` by site, the sites in the order they first appear.
std::vector<SiteRecords> BySite(const std::vector<Json>& records);

/// What a run folder holds: run.json (null when absent, as in folders of
/// earlier versions) and the records of report.jsonl.
struct RunFolder {
  std::string path;
  Json run;
  std::vector<Json> records;
  /// Lines of report.jsonl left out, as "FOLDER/report.jsonl:LINE: reason".
  std::vector<std::string> skipped;
  /// Lines read with bytes that were not valid UTF-8 replaced, the same way.
  std::vector<std::string> repaired;
};

/// Reads `folder` within the limits of json_lines.h, never through a link
/// (folder_file.h). A line that is not a JSON object is left out and named
/// in `skipped`; the others are read. False with `error` set when
/// report.jsonl is missing, refused (a link, a device, too large, too many
/// records) or run.json is refused or is not a JSON object.
bool ReadRunFolder(const std::string& folder, RunFolder& out,
                   std::string& error);

/// When run.json says that the run of `folder` goes on but no other process
/// runs it (ended early): true, with `out` read from its journal, in-flight
/// readers unknown; `error` set when that could not be read.
bool ReadUnfinishedRun(const std::string& folder, RunFolder& out,
                       std::string& error);

/// Writes `value` as indented JSON to `path`; false when it cannot.
bool WriteJsonFile(const std::string& path, const Json& value);

/// `value` as the files written here hold it: every text and key that is
/// not valid UTF-8 replaced as the JSON writer replaces it. What is shown
/// from memory then says what the files say.
Json AsWritten(const Json& value);

/// The text of a record's field; "" when absent, null or not a string.
std::string Text(const Json& record, const char* field);

/// The whole number of a record's field; empty when absent or not one.
std::optional<long long> Whole(const Json& record, const char* field);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_RUN_INFO_H_
