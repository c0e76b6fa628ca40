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

// The text between `from` and the next `to` after it; "" when absent.
std::string Between(const std::string& text, const std::string& from,
                    const std::string& to) {
  const size_t at = text.find(from);
  if (at == std::string::npos) return "";
  const size_t start = at + from.size();
  return text.substr(start, text.find(to, start) - start);
}

Json Failed(const std::string& name, const std::string& phase,
            const std::string& state) {
  Json r = Record(name, "failed");
  r["failure_phase"] = phase;
  r["module_state"] = state;
  return r;
}

// A run that left work to do says so first, with the command that does it,
// made from the run's own image and folder; a run that went well says
// nothing there.
TEST(HtmlReportTest, WhatToDoComesFirstWithItsRetryCommand) {
  const Json run = {
      {"kind", "program"},
      {"image", {{"file", "imgs/rf <1>.bin"}, {"version", "V1"}}}};
  Json inFlight = Record("dock-4", "unknown");
  inFlight["module_state"] = "may-lack-firmware";
  const std::vector<Json> records = {
      Failed("dock-1", "transfer", "may-lack-firmware"),
      Failed("dock-2", "complete", "may-lack-firmware"), inFlight,
      Failed("dock-3", "connect", "untouched"), Record("dock-5", "updated")};
  const std::string page = RenderHtmlReport(run, records, "runs/hall 2");
  const std::string actions =
      Between(page, "<section id=\"actions\"", "</section>");
  ASSERT_FALSE(actions.empty());
  EXPECT_LT(page.find("<section id=\"actions\""), page.find("<header>"));
  EXPECT_NE(actions.find("3 modules may lack firmware: update them again now"),
            std::string::npos)
      << actions;
  EXPECT_NE(actions.find("1 other reader failed: retry it"), std::string::npos)
      << actions;
  const std::string command =
      "modflash-fleet --program &quot;imgs/rf &lt;1&gt;.bin&quot; --retry "
      "&quot;runs/hall 2&quot;";
  EXPECT_EQ(Count(actions, command), 2u) << actions;

  // Readers not started, with the reason starts stopped; and a dry run's
  // retry is a dry run.
  Json stopped = {{"kind", "dryrun"},
                  {"stopped", "<b>canary failed"},
                  {"image", {{"file", "img.bin"}}}};
  const std::string dry =
      RenderHtmlReport(stopped,
                       {Failed("a", "probe", "untouched"),
                        {{"name", "b"}, {"outcome", "not-started"}}},
                       "run");
  EXPECT_NE(dry.find("1 reader failed: retry it"), std::string::npos);
  EXPECT_NE(dry.find("1 reader was not started</b> (&lt;b&gt;canary failed)"),
            std::string::npos);
  EXPECT_NE(dry.find("modflash-fleet --dryrun img.bin --retry run"),
            std::string::npos);
  EXPECT_EQ(dry.find("may lack firmware"), std::string::npos);

  // An audit's retry is an audit, with its image.
  Json audit = {{"kind", "audit"}, {"image", {{"file", "img.bin"}}}};
  const std::string audited = RenderHtmlReport(
      audit, {Record("a", "unreachable"), Record("b", "answered")}, "au");
  EXPECT_NE(audited.find("1 reader did not answer: audit it again"),
            std::string::npos);
  EXPECT_NE(audited.find("modflash-fleet --audit --retry au --image img.bin"),
            std::string::npos);

  // All well: nothing to do, no banner.
  const std::string well = RenderHtmlReport(
      run, {Record("a", "updated"), Record("b", "already-current")}, "run");
  EXPECT_EQ(well.find("id=\"actions\""), std::string::npos);
}

Json Answered(const std::string& name, const std::string& version,
              bool current) {
  Json r = Record(name, "answered");
  r["version_before"] = version;
  r["file_version"] = "V1.2.3";
  r["current"] = current;
  return r;
}

// An audit with an image counts, per version, who needs the update and who
// is newer, and the table has its current column; a large audit draws no
// timeline of a row a reader.
TEST(HtmlReportTest, AuditCountsWhoNeedsTheUpdate) {
  const Json run = {{"kind", "audit"},
                    {"image", {{"file", "img.bin"}, {"version", "V1.2.3"}}}};
  std::vector<Json> records;
  for (int i = 0; i < 3; ++i)
    records.push_back(Answered("old", "V1.1.0", false));
  for (int i = 0; i < 2; ++i)
    records.push_back(Answered("cur", "V1.2.3", true));
  records.push_back(Answered("new", "V2.0.0", false));
  records.push_back(Record("mute", "no-module-answer"));
  const std::string page = RenderHtmlReport(run, records, "au");
  EXPECT_NE(page.find("<b id=\"need\" data-count=\"3\">3 modules need the "
                      "update to V1.2.3</b>; 2 run it already (same version; "
                      "the content was not compared)"),
            std::string::npos);
  EXPECT_NE(page.find("<span id=\"newer\" data-count=\"1\">1 run a newer"),
            std::string::npos);
  const std::string counts = Between(
      page, "<table class=\"sites\" id=\"version-counts\">", "</table>");
  EXPECT_NE(counts.find("<td>V1.1.0</td><td class=\"n\">3</td><td>needs the "
                        "update</td>"),
            std::string::npos)
      << counts;
  EXPECT_NE(counts.find("<td>V2.0.0</td><td class=\"n\">1</td><td>newer"),
            std::string::npos);
  EXPECT_NE(counts.find("<td>no answer</td><td class=\"n\">1</td>"),
            std::string::npos);
  // The audit's section comes before the table, which has `current`.
  EXPECT_LT(page.find("id=\"audit\""), page.find("id=\"reader-table\""));
  EXPECT_NE(page.find("<th>current</th>"), std::string::npos);
  EXPECT_EQ(Count(page, "<td class=\"n\">newer</td>"), 1u);
  EXPECT_EQ(Count(page, "<td class=\"n\">yes</td>"), 2u);
  EXPECT_EQ(Count(page, "<td class=\"n\">no</td>"), 3u);
  EXPECT_EQ(Count(page, "<g class=\"row "), records.size());

  std::vector<Json> many(201, Answered("r", "V1.1.0", false));
  const std::string large = RenderHtmlReport(run, many, "au");
  EXPECT_EQ(Count(large, "<g class=\"row "), 0u);
  EXPECT_NE(large.find("data-count=\"201\">201 modules need"),
            std::string::npos);
  // Without an image: the versions, and no count of who needs what.
  for (Json& r : records) {
    r.erase("file_version");
    r.erase("current");
  }
  const std::string plain =
      RenderHtmlReport({{"kind", "audit"}}, records, "au");
  EXPECT_EQ(plain.find("id=\"need\""), std::string::npos);
  EXPECT_NE(plain.find("<td>V1.1.0</td><td class=\"n\">3</td></tr>"),
            std::string::npos);
}

// After the run: every module whose version is known, those left alone as
// current and those a failure did not touch among them.
TEST(HtmlReportTest, VersionsAfterCountEveryModuleKnown) {
  std::vector<Json> records;
  for (int i = 0; i < 2; ++i) {
    Json r = Record("up", "updated");
    r["version_before"] = "V1.1.0";
    r["version_after"] = "V1.2.3";
    records.push_back(r);
  }
  for (int i = 0; i < 3; ++i) {
    Json r = Record("cur", "already-current");
    r["version_before"] = "V1.2.3";
    r["module_state"] = "already-current";
    records.push_back(r);
  }
  Json untouched = Failed("probe", "restart-wait", "untouched");
  untouched["version_before"] = "V1.1.0";
  Json lacking = Failed("lack", "transfer", "may-lack-firmware");
  lacking["version_before"] = "V1.1.0";
  records.push_back(untouched);
  records.push_back(lacking);
  const std::string page = RenderHtmlReport({{"kind", "program"}}, records);
  EXPECT_NE(page.find("<title>after V1.2.3: 5</title>"), std::string::npos);
  EXPECT_NE(page.find("<title>after V1.1.0: 1</title>"), std::string::npos);
  EXPECT_NE(page.find("<title>before V1.1.0: 4</title>"), std::string::npos);
}

// Runs of a merge each get a timeline on their own axis, named; a wave
// label is drawn only for a wave that updated a reader, and never over
// another.
TEST(HtmlReportTest, MergedRunsHaveTheirOwnAxesAndWaveLabelsApart) {
  Json a = Record("a-1", "updated");
  a["run"] = "site-a";
  a["start_time"] = "2026-03-01T10:00:00";
  Json b = Record("b-1", "failed");
  b["run"] = "site-b";
  b["site"] = "<i>north";
  b["start_time"] = "2026-03-04T22:30:00";
  const std::string merged = RenderHtmlReport({{"kind", "merge"}}, {a, b, a});
  EXPECT_EQ(Count(merged, "<svg id=\"timeline-svg"), 2u);
  EXPECT_NE(merged.find("<svg id=\"timeline-svg-2\""), std::string::npos);
  EXPECT_NE(merged.find("<h3 class=\"run\">site-a, from 2026-03-01T10:00:00"),
            std::string::npos);
  EXPECT_NE(merged.find("<h3 class=\"run\">site-b, site &lt;i&gt;north, from "
                        "2026-03-04T22:30:00"),
            std::string::npos);
  // Each axis spans its own run: 20 s, not three days.
  EXPECT_EQ(Count(merged, ">0:20</text>"), 2u);

  // Waves 1 to 3 only found current modules, at once; wave 4 and 5 began
  // a second apart.
  std::vector<Json> waves;
  for (int w = 1; w <= 5; ++w) {
    Json r =
        Record("w" + std::to_string(w), w <= 3 ? "already-current" : "updated");
    r["wave"] = w;
    r["seconds"] = 400.0;
    r["start_time"] = w <= 4 ? "2026-03-01T10:00:00" : "2026-03-01T10:00:01";
    waves.push_back(r);
  }
  waves.push_back(waves.back());
  waves.back()["start_time"] = "2026-03-01T10:05:00";
  waves.back()["wave"] = 6;
  const std::string page = RenderHtmlReport({{"kind", "program"}}, waves);
  for (const char* empty : {">wave 2<", ">wave 3<"}) {
    EXPECT_EQ(page.find(empty), std::string::npos) << empty;
  }
  EXPECT_NE(page.find("<text x=\"220\" y=\"10\">wave 4</text>"),
            std::string::npos);
  EXPECT_EQ(page.find(">wave 5</text>"), std::string::npos);
  EXPECT_NE(page.find("<title>wave 5</title>"), std::string::npos);
  EXPECT_NE(page.find(">wave 6</text>"), std::string::npos);
}

// A very long name is cut in the table, whole in its title; a normal one
// is left as it is.
TEST(HtmlReportTest, LongNamesAreCutInTheTable) {
  const std::string longName = std::string(10000, 'x') + "<b>";
  Json r = Record(longName, "failed");
  r["host"] = std::string(300, 'h');
  const std::string page =
      RenderHtmlReport(nullptr, {r, Record("dock-7", "updated")});
  const std::string table = Between(page, "<tbody>", "</tbody>");
  const std::string cell = Between(table, "<td title=\"", "<small>");
  ASSERT_FALSE(cell.empty());
  EXPECT_EQ(cell, std::string(10000, 'x') + "&lt;b&gt;\">" +
                      std::string(60, 'x') + "\u2026");
  EXPECT_NE(
      table.find("<small><span class=\"cut\" title=\"" + std::string(300, 'h') +
                 ":5000\">" + std::string(60, 'h') + "\u2026</span></small>"),
      std::string::npos);
  EXPECT_NE(table.find("<td>dock-7<small>10.0.0.5:5000</small></td>"),
            std::string::npos);
  EXPECT_EQ(page.find("x<b>"), std::string::npos);
}

// An interrupted record's line says so, and where, also for a record of an
// earlier version that held its transcript's last line.
TEST(HtmlReportTest, InterruptedRecordsSayTheyWereInterrupted) {
  Json old = Failed("old", "interrupted", "may-lack-firmware");
  old["failure_line"] = "Successfully Entered Update Mode";
  old["failure_address"] = "0x00405000";
  old["phases"] = {{{"phase", "connect-probe"}, {"start", 0}, {"end", 2}},
                   {{"phase", "transfer"}, {"start", 2}, {"end", 9}}};
  Json now = Failed("now", "interrupted", "untouched");
  now["failure_line"] = "Interrupted by a second Ctrl-C in its probe step.";
  const std::string page = RenderHtmlReport(nullptr, {old, now});
  EXPECT_EQ(page.find("Successfully Entered"), std::string::npos);
  EXPECT_EQ(Count(page, "Interrupted in its transfer phase, at 0x00405000"),
            2u);  // the cross's title and the table
  EXPECT_EQ(Count(page, ">Interrupted by a second Ctrl-C in its probe step."),
            2u);
}

// What already-current claims: the image's SHA-256 is the file's, and the
// modules were compared by their version alone.
TEST(HtmlReportTest, AlreadyCurrentClaimsOnlyTheVersion) {
  const Json run = {
      {"kind", "program"},
      {"image",
       {{"file", "img.bin"}, {"version", "V1.2.3"}, {"sha256", "f43f6e86"}}}};
  const std::string page = RenderHtmlReport(
      run, {Record("a", "already-current"), Record("b", "already-current")});
  EXPECT_NE(page.find("the image file's SHA-256 <code>f43f6e86</code>"),
            std::string::npos);
  EXPECT_NE(page.find("2 modules report the image's version and were left as "
                      "they are (same version; the content was not "
                      "compared"),
            std::string::npos);
  EXPECT_EQ(RenderHtmlReport(run, {Record("a", "updated")})
                .find("the content was not compared"),
            std::string::npos);
}

}  // namespace
}  // namespace modflash::fleet
