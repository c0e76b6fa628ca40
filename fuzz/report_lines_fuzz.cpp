// The reader of a run folder's JSON Lines files (report.jsonl) on arbitrary
// contents: whatever the bytes, it ends, keeps its bounds, and every line
// it takes is an object.
//
// Input: a byte that picks the limits (the report's, or small ones so that
// the per-line, record and depth bounds are reached by short inputs), then
// the file's contents.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fleet/report/json_lines.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace modflash::fleet;
  modflash::fuzz::InputReader in(data, size);
  const uint8_t mode = in.Byte();
  InputLimits limits = kReportLimits;
  if (mode % 2 == 1) limits = {4096, 64, 8, static_cast<size_t>(mode % 7)};
  size_t got = 0;
  const uint8_t* bytes = in.Bytes(size, got);
  const std::string contents(reinterpret_cast<const char*>(bytes), got);
  const JsonLines lines = ParseJsonLines(contents, limits);

  if (!lines.error.empty()) {
    FUZZ_CHECK(lines.records.empty() && lines.problems.empty(),
               "a refused file gives no record");
    return 0;
  }
  FUZZ_CHECK(lines.records.size() <= limits.records, "at most the records");
  size_t newlines = 0;
  for (const char c : contents) newlines += c == '\n' ? 1 : 0;
  size_t last = 0;
  size_t skipped = 0;
  for (const LineProblem& p : lines.problems) {
    FUZZ_CHECK(p.line > last || (p.line == last && !p.skipped),
               "problems in line order, one skip a line");
    FUZZ_CHECK(p.line >= 1 && p.line <= newlines + 1, "a line of the file");
    FUZZ_CHECK(!p.reason.empty(), "a problem says why");
    last = p.line;
    skipped += p.skipped ? 1 : 0;
  }
  FUZZ_CHECK(lines.records.size() + skipped <= limits.records,
             "records and skipped lines within the bound");
  for (const Json& r : lines.records) {
    FUZZ_CHECK(r.is_object(), "every record is an object");
    FUZZ_CHECK(JsonDepth(r.dump(), limits.depth) <= limits.depth,
               "no record deeper than the bound");
    // What a report writer does with it must not fail either.
    (void)r.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  return 0;
}
