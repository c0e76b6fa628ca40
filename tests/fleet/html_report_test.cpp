#include "fleet/html/html_report.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fleet/html/html_sections.h"
#include "fleet/transcript/phase_log.h"
#include "tests/support/temp_dir.h"

namespace modflash::fleet {
namespace {

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

Json Record(const std::string& name, const std::string& outcome) {
  return {{"name", name},
          {"address", "10.0.0.5"},
          {"port", 5000},
          {"outcome", outcome},
          {"start_time", "2026-03-01T10:00:00"},
          {"seconds", 20.0},
          {"log_file", "001-x.log"}};
}

TEST(HtmlReportTest, RecordTextIsEscapedEverywhere) {
  EXPECT_EQ(EscapeHtml("<a href=\"x\">'&'</a>"),
            "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");

  Json r = Record("<script>alert(1)</script>", "failed");
  r["failure_line"] = "</title><script>alert(2)</script>";
  r["first_error"] = "\"><img src=x onerror=alert(3)>";
  r["next_step"] = "<iframe src=x>";
  r["site"] = "<b>hall</b>";
  r["version_before"] = "<svg onload=alert(4)>";
  r["phases"] = {
      {{"phase", "connect-probe\"><script>"}, {"start", 0}, {"end", 20}}};
  r["attempts"] = {{{"outcome", "<u>failed</u>"},
                    {"run", "<i>run-0</i>"},
                    {"log_file", "\"><script>alert(5)</script>.log"}}};
  r["failure_address"] = "<i>0x00405000";
  Json run = {{"kind", "program"},
              {"site", "<b>hall</b>"},
              {"stopped", "<b>too many failures"},
              {"waves", {1, "<b>5"}},
              {"command_line", {"modflash-fleet", "<script>alert(6)</script>"}},
              {"image", {{"file", "<img src=x>"}, {"version", "V1"}}}};
  const std::string page = RenderHtmlReport(run, {r});

  // Only the page's own script and no element from any record's text.
  EXPECT_EQ(Count(page, "<script"), 1u);
  for (const char* raw : {"<img", "<iframe", "<b>hall", "<svg onload", "<u>",
                          "<i>run", "<b>too", "<b>5", "<i>0x"}) {
    EXPECT_EQ(page.find(raw), std::string::npos) << raw;
  }
  // The name as text in the timeline, its row's title and the table.
  EXPECT_EQ(Count(page, "&lt;script&gt;alert(1)&lt;/script&gt;"), 3u);
  EXPECT_NE(page.find("<title>&lt;/title&gt;&lt;script&gt;alert(2)"),
            std::string::npos);
  EXPECT_NE(page.find("&lt;iframe src=x&gt;"), std::string::npos);
  // A phase name that is not a plain word draws as an unknown phase.
  EXPECT_NE(page.find("class=\"p-other\""), std::string::npos);
}

// The page of a run is made from its records and run.json in memory, and
// shows what run.json says: a command line that is not UTF-8 shows as the
// file holds it, and each reader and its counts are there.
TEST(HtmlReportTest, RunSummaryPageSaysWhatItsFilesSay) {
  testing::TempDir dir;
  RunDescription run;
  run.kind = "program";
  run.commandLine = {"modflash-fleet", "--site",
                     "S\xFC"
                     "d"};
  ReaderRecord updated;
  updated.reader = {"dock-1", "10.0.0.1", "10.0.0.1", 5000, 1, ""};
  updated.outcome = Outcome::kUpdated;
  ReaderRecord failed = updated;
  failed.reader.name = "dock-2";
  failed.outcome = Outcome::kFailed;
  std::string error;
  ASSERT_TRUE(
      WriteRunSummary(dir.path().string(), run, {updated, failed}, error))
      << error;
  const auto read = [&](const char* name) {
    std::ifstream in(dir.path() / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in),
                       std::istreambuf_iterator<char>());
  };
  const Json info = Json::parse(read("run.json"));
  EXPECT_EQ(info["counts"],
            Json({{"updated", 1}, {"failed", 1}, {"not-started", 0}}));
  const std::string page = read("report.html");
  EXPECT_EQ(page.find("\xFC"), std::string::npos);
  EXPECT_NE(page.find(EscapeHtml(info["command_line"][2].get<std::string>())),
            std::string::npos);
  EXPECT_GT(Count(page, "dock-1"), 0u);
  EXPECT_GT(Count(page, "dock-2"), 0u);
}

TEST(HtmlReportTest, LogLinksAreRelativeFilePaths) {
  using html::RelativeHref;
  EXPECT_EQ(RelativeHref("001-dock_1.log"), "001-dock_1.log");
  EXPECT_EQ(RelativeHref("logs/run 1/001-a.log"), "logs/run%201/001-a.log");
  EXPECT_EQ(RelativeHref("logs\\run\\a#1?.log"), "logs/run/a%231%3F.log");
  EXPECT_EQ(RelativeHref("..\\other\\001-a.log"), "../other/001-a.log");
  for (const char* bad :
       {"", "javascript:alert(1)", "/etc/passwd", "//host/x.log",
        "\\\\server\\share\\x.log", "C:\\logs\\x.log", "file:///x.log"}) {
    EXPECT_EQ(RelativeHref(bad), "") << bad;
  }
}

// Records of every age: with phases, without (earlier versions), never
// started, empty or malformed. Each gets its row; the counts match them.
TEST(HtmlReportTest, DrawsWhateverTheRecordsHold) {
  Json phased = Record("phased", "updated");
  phased["wave"] = 1;
  phased["version_before"] = "V1.1.0";
  phased["version_after"] = "V1.2.3";
  phased["phases"] = Json::array();
  for (const output::TimelinePhase& p : output::kTimeline) {
    phased["phases"].push_back({{"phase", p.name}, {"start", 1}, {"end", 2}});
  }
  Json old = Record("old", "failed");
  old["wave"] = 2;
  old["start_time"] = "2026-03-01T10:01:00";
  old["failure_line"] = "Unable to determine module's baud rate";
  Json idle = {{"name", "idle"}, {"outcome", "not-started"}};
  Json odd = Record("odd", "updated");
  odd["phases"] = {1, "x", {{"phase", 7}}};
  odd["seconds"] = "long";
  const std::vector<Json> records = {phased, old, idle, odd, Json::object()};
  const std::string page = RenderHtmlReport(nullptr, records);

  EXPECT_EQ(Count(page, "<g class=\"row "), 5u);
  for (const output::TimelinePhase& p : output::kTimeline) {
    EXPECT_EQ(Count(page, "<rect class=\"p-" + std::string(p.name) + "\""), 1u)
        << p.name;
  }
  EXPECT_EQ(Count(page, "class=\"p-none\""), 2u);  // old and the legend
  EXPECT_NE(page.find("<title>Unable to determine module&#39;s baud rate"),
            std::string::npos);
  EXPECT_NE(page.find(">wave 2</text>"), std::string::npos);
  EXPECT_NE(page.find("data-outcome=\"updated\" data-count=\"2\""),
            std::string::npos);
  EXPECT_NE(page.find("data-outcome=\"failed\" data-count=\"1\""),
            std::string::npos);
  EXPECT_NE(page.find("data-outcome=\"not-started\" data-count=\"1\""),
            std::string::npos);
  EXPECT_NE(page.find("data-outcome=\"unknown\" data-count=\"1\""),
            std::string::npos);
  EXPECT_NE(page.find("aria-label=\"Module versions\""), std::string::npos);
  // Failures come first in the table.
  EXPECT_LT(page.find("<tr class=\"o-failed\""),
            page.find("<tr class=\"o-updated\""));

  // Runs of a merge keep their own clocks: no wave lines across them, and
  // no version chart without versions.
  old.erase("version_before");
  phased.erase("version_before");
  phased.erase("version_after");
  phased["run"] = "a";
  old["run"] = "b";
  const std::string merged = RenderHtmlReport(nullptr, {phased, old});
  EXPECT_EQ(merged.find(">wave 2</text>"), std::string::npos);
  EXPECT_EQ(merged.find("aria-label=\"Module versions\""), std::string::npos);
}

}  // namespace
}  // namespace modflash::fleet
