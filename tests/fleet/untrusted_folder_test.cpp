// Run folders fetched from other sites are read as untrusted input: bounded
// sizes and nesting, a bad line named and left out, texts escaped on the
// console, and a merge that a crash cannot leave half-written in its
// folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fleet/report/json_lines.h"
#include "fleet/system/folder_file.h"
#include "tests/support/process.h"
#include "tests/support/run_folder.h"
#include "tests/support/temp_dir.h"

namespace modflash::fleet {
namespace {

namespace fs = std::filesystem;
using testing::ProcessResult;
using testing::ReadText;

std::string Record(const std::string& name, const std::string& outcome) {
  return Json({{"name", name},
               {"address", "10.0.0." + name.substr(name.size() - 1)},
               {"port", 5000},
               {"outcome", outcome},
               {"log_file", "001-" + name + ".log"}})
             .dump() +
         "\n";
}

void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

class UntrustedFolderTest : public ::testing::Test {
 protected:
  fs::path Site(const std::string& name, const std::string& report) {
    Write(dir_.path() / name / "report.jsonl", report);
    return dir_.path() / name;
  }
  ProcessResult Merge(const std::vector<fs::path>& folders,
                      const std::string& out = "merged") {
    std::vector<std::string> args = {"--merge", Out(out)};
    for (const fs::path& f : folders) args.push_back(f.string());
    return testing::RunProcess(MODFLASH_FLEET_BIN, args, 60000);
  }
  std::string Out(const std::string& name) const {
    return (dir_.path() / name).string();
  }
  testing::TempDir dir_;
};

// The bracket count skips strings, escaped quotes included; a text deeper
// than the bound is refused before the parser sees it.
TEST(JsonLinesTest, DepthIsCountedOutsideStrings) {
  EXPECT_EQ(JsonDepth(R"({"a":[1,{"b":"[[[{{"}]})", 32), 3u);
  EXPECT_EQ(JsonDepth(R"(["\"[[[", "\\", [[]]])", 32), 3u);
  EXPECT_EQ(JsonDepth(std::string(100000, '['), 32), 33u);
  Json value;
  bool repaired = false;
  std::string reason;
  EXPECT_FALSE(ParseBoundedJson(std::string(33, '[') + std::string(33, ']'),
                                32, value, repaired, reason));
  EXPECT_EQ(reason, "nested deeper than 32 levels");
  EXPECT_TRUE(ParseBoundedJson(std::string(32, '[') + std::string(32, ']'),
                               32, value, repaired, reason));
  EXPECT_TRUE(ParseBoundedJson("{\"n\":\"a\xff\"}", 32, value, repaired,
                               reason));
  EXPECT_TRUE(repaired);
  EXPECT_EQ(value["n"], "a\xEF\xBF\xBD");
}

TEST(JsonLinesTest, OnlyPathsBelowTheFolderAreTaken) {
  for (const char* inside : {"001-dock.log", "logs/a/001.log", "a..b"}) {
    EXPECT_TRUE(InsideFolderPath(inside)) << inside;
  }
  for (const char* outside : {"", "/etc/passwd", "../x", "a/../../x", "a//b",
                              "./x", "a/", "C:x", "a\\..\\x"}) {
    EXPECT_FALSE(InsideFolderPath(outside)) << outside;
  }
}

// A line that is not JSON, too deep or too long is named with its line
// number and left out; the others are merged. A line with bytes that are
// not UTF-8 is read with them replaced, and named too.
TEST_F(UntrustedFolderTest, BadLinesAreNamedAndTheRestMerged) {
  const std::string deep =
      std::string(100000, '[') + std::string(100000, ']') + "\n";
  const std::string lng =
      "{\"name\":\"" + std::string(300 * 1024, 'x') + "\"}\n";
  const fs::path site =
      Site("north", Record("dock-1", "updated") + "{not json\n" + deep +
                        "{\"name\":\"caf\xe9\",\"outcome\":\"failed\"}\n" +
                        lng + Record("dock-2", "failed"));
  const ProcessResult r = Merge({site});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string where = site.string() + "/report.jsonl:";
  for (const std::string& line :
       {where + "2: not valid JSON; the line is left out",
        where + "3: nested deeper than 32 levels; the line is left out",
        where + "4: not valid UTF-8 (the bad bytes read as U+FFFD)\n",
        where + "5: longer than 262144 bytes; the line is left out"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }
  EXPECT_NE(r.out.find("into 3 reader record(s)"), std::string::npos) << r.out;
  const std::vector<nlohmann::json> records =
      testing::ReadRecords(Out("merged"));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1]["name"], "caf\xEF\xBF\xBD");
  const Json info = Json::parse(ReadText(Out("merged") + "/run.json"));
  EXPECT_EQ(info["skipped_lines"].size(), 3u);
}

// More records than the bound, or a file larger than it, refuse the report
// with a line that says so; a run.json too deep or too large refuses the
// folder. Nothing is written.
TEST_F(UntrustedFolderTest, ReportsBeyondTheLimitsAreRefused) {
  std::string many;
  for (int i = 0; i <= 20000; ++i) many += "{}\n";
  const fs::path crowded = Site("crowded", many);
  fs::path huge = Site("huge", "");
  fs::resize_file(huge / "report.jsonl", 33ull * 1024 * 1024);
  const fs::path deep = Site("deep", Record("dock-1", "updated"));
  Write(deep / "run.json", std::string(100000, '{'));
  const fs::path big = Site("big", Record("dock-1", "updated"));
  Write(big / "run.json", "");
  fs::resize_file(big / "run.json", 17ull * 1024 * 1024);
  const struct {
    fs::path folder;
    std::string line;
  } cases[] = {
      {crowded, "/report.jsonl: more than 20000 records"},
      {huge, "/report.jsonl: larger than the limit of 33554432 bytes"},
      {deep, "/run.json: nested deeper than 32 levels"},
      {big, "/run.json: larger than the limit of 16777216 bytes"},
  };
  for (const auto& c : cases) {
    const ProcessResult r = Merge({c.folder}, "out-" + c.folder.stem().string());
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.out.find(c.folder.string() + c.line), std::string::npos)
        << r.out;
    EXPECT_FALSE(fs::exists(Out("out-" + c.folder.stem().string())));
  }
}

// A crafted outcome or site reaches the console escaped: it can neither
// clear the screen nor set the window title.
TEST_F(UntrustedFolderTest, OutcomesAreEscapedOnTheConsole) {
  const fs::path site =
      Site("north", Record("dock-1", "\x1b[2J\x1b]0;owned\x07" "ALL UPDATED"));
  Write(site / "run.json", R"({"kind": "program", "site": "n\u001b[31m"})");
  const ProcessResult r = Merge({site});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('\x07'), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("1 \\x1b[2J\\x1b]0;owned\\x07ALL UPDATED"),
            std::string::npos)
      << r.out;
}

// What a merge cut off left beside its folder (OUT_FOLDER.partial) does
// not block the next merge, and none of it ends up in the merge.
TEST_F(UntrustedFolderTest, ACutOffMergeDoesNotBlockTheNext) {
  const fs::path site = Site("north", Record("dock-1", "updated"));
  Write(site / "001-dock-1.log", "transcript\n");
  Write(Out("merged.partial") + "/logs/north/stale.log", "stale\n");
  fs::create_directories(Out("merged"));
  const ProcessResult r = Merge({site});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(ReadText(Out("merged") + "/logs/north/001-dock-1.log"),
            "transcript\n");
  EXPECT_FALSE(fs::exists(Out("merged") + "/logs/north/stale.log"));
  EXPECT_FALSE(fs::exists(Out("merged.partial")));
  // A run folder where the partial folder would be is never removed.
  const fs::path partial = Site("m2.partial", Record("dock-2", "updated"));
  const ProcessResult again = Merge({site, partial}, "m2");
  EXPECT_EQ(again.status, 2) << again.out;
  EXPECT_TRUE(fs::exists(partial / "report.jsonl"));
}

}  // namespace
}  // namespace modflash::fleet
