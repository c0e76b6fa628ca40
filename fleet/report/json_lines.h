#ifndef MODFLASH_FLEET_JSON_LINES_H_
#define MODFLASH_FLEET_JSON_LINES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fleet/report/run_info.h"

namespace modflash::fleet {

/// Bounds on what is read from a run folder (docs/fleet.md, "Reading run
/// folders"). Files from other sites are read with these and no more.
struct InputLimits {
  uint64_t fileBytes;  ///< the whole file
  size_t lineBytes;    ///< one line of a JSON Lines file
  size_t records;      ///< lines that hold a record
  size_t depth;        ///< arrays and objects inside each other
};

/// report.jsonl (and files of its kind): 32 MiB, 256 KiB a line, 20,000
/// records, nesting 32 deep.
extern const InputLimits kReportLimits;
/// run.json: 16 MiB, nesting 32 deep.
extern const InputLimits kRunInfoLimits;
/// A reader's transcript that a merge copies: 64 MiB.
inline constexpr uint64_t kLogFileBytes = 64ull * 1024 * 1024;

/// How deep `text` nests arrays and objects, counted outside strings; it
/// stops counting past `limit` (so a deeper text reports limit + 1).
size_t JsonDepth(const std::string& text, size_t limit);

/// Parses `text` as one JSON value, checked first against `depth` (the
/// parser recurses). Bytes that are not valid UTF-8 become U+FFFD, and
/// `repaired` says so. False with `reason` set for text that is too deep
/// or not JSON.
bool ParseBoundedJson(const std::string& text, size_t depth, Json& value,
                      bool& repaired, std::string& reason);

/// A line of a JSON Lines file that was not taken as it was.
struct LineProblem {
  size_t line = 0;
  std::string reason;
  bool skipped = false;  ///< left out; else read with its text repaired
};

/// What ParseJsonLines made of a file.
struct JsonLines {
  std::vector<Json> records;       ///< the lines that hold a JSON object
  std::vector<LineProblem> problems;
  std::string error;               ///< set when the file is refused whole
};

/// The records of a JSON Lines file, one object a line (blank lines
/// ignored). A line that is too long, too deep, not JSON or not an object
/// is skipped and named; the others are read. More records than
/// `limits.records` refuse the file (`error`).
JsonLines ParseJsonLines(const std::string& contents,
                         const InputLimits& limits);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_JSON_LINES_H_
