// A run folder's run.json on arbitrary contents, read from a folder as a
// merge reads it and then used as a merge and the report page use it: no
// crash, no exception, the bounds kept.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "fleet/html/html_report.h"
#include "fleet/merge/merge.h"
#include "fleet/report/json_lines.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace modflash::fleet;
  static const std::string folder =
      "/dev/shm/modflash-fuzz-run-" + std::to_string(getpid());
  static const bool made = [] {
    std::filesystem::create_directories(folder);
    FILE* f = std::fopen((folder + "/report.jsonl").c_str(), "wb");
    if (f == nullptr) return false;
    std::fputs(
        "{\"name\":\"dock-1\",\"address\":\"10.0.0.1\",\"port\":5000,"
        "\"outcome\":\"updated\",\"start_time\":\"2026-01-01T10:00:00\"}\n",
        f);
    return std::fclose(f) == 0;
  }();
  FUZZ_CHECK(made, "the temporary folder can be written");
  FILE* f = std::fopen((folder + "/run.json").c_str(), "wb");
  FUZZ_CHECK(f != nullptr, "run.json can be written");
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  RunFolder run;
  std::string error;
  if (!ReadRunFolder(folder, run, error)) {
    FUZZ_CHECK(!error.empty(), "a refusal says why");
    return 0;
  }
  FUZZ_CHECK(run.run.is_object(), "run.json read is an object");
  FUZZ_CHECK(JsonDepth(run.run.dump(), kRunInfoLimits.depth) <=
                 kRunInfoLimits.depth,
             "no deeper than the bound");
  try {
    const std::vector<Json> merged = MergeRecords({run});
    (void)MergeRunInfo({run}, merged, {"modflash-fleet"});
    (void)RenderHtmlReport(run.run, run.records);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "exception: %s\n", e.what());
    FUZZ_CHECK(false, "a crafted run.json throws no exception");
  }
  return 0;
}
