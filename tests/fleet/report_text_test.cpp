// The report's texts as spreadsheets, JSON readers and consoles take them,
// and the wave plan.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "fleet/plan/waves.h"
#include "fleet/report/report.h"
#include "fleet/report/run_info.h"
#include "fleet/text/text.h"
#include "tests/support/temp_dir.h"

namespace modflash::fleet {
namespace {

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

TEST(ReportTextTest, InvalidUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(ValidUtf8("Halle S\xC3\xBC"
                      "d \xE2\x82\xAC \xF0\x9F\x93\xA1"),
            "Halle S\xC3\xBC"
            "d \xE2\x82\xAC \xF0\x9F\x93\xA1");
  const std::string bad[] = {"\xFC",              // Latin-1
                             "\xC0\xAF",          // overlong
                             "\xED\xA0\x80",      // a surrogate
                             "\xF4\x90\x80\x80",  // past U+10FFFF
                             "\xE2\x82"};         // cut short
  for (const std::string& b : bad) {
    const std::string fixed = ValidUtf8("a" + b + "z");
    EXPECT_EQ(fixed.front(), 'a');
    EXPECT_EQ(fixed.back(), 'z');
    EXPECT_NE(fixed.find("\xEF\xBF\xBD"), std::string::npos);
    EXPECT_EQ(ValidUtf8(fixed), fixed);
  }
}

TEST(ReportTextTest, ConsoleSeesControlBytesEscaped) {
  EXPECT_EQ(Shown("dock\x1b[2J\r\n\x7f-1"), "dock\\x1b[2J\\x0d\\x0a\\x7f-1");
  EXPECT_EQ(Shown("Halle S\xC3\xBC"
                  "d"),
            "Halle S\xC3\xBC"
            "d");
  // C1 controls (CSI as U+009B) and bytes of no UTF-8 sequence; U+00A0 on
  // stays as it is.
  EXPECT_EQ(Shown("a\xC2\x9B"
                  "2J\xC2\x80\xC2\xA0z"),
            "a\\xc2\\x9b2J\\xc2\\x80\xC2\xA0z");
  EXPECT_EQ(Shown("\x9B"
                  "2J\xC2\xFF\xE2\x82"),
            "\\x9b2J\\xc2\\xff\\xe2\\x82");
}

TEST(ReportTextTest, CsvGuardsFormulasButNotNumbers) {
  EXPECT_EQ(CsvField("=HYPERLINK(\"x\")"), "\"'=HYPERLINK(\"\"x\"\")\"");
  for (const char* text : {"+1", "-1", "@SUM(A1)", "\tx", "\rx"}) {
    EXPECT_EQ(CsvField(text).find('\''), text[0] == '\r' ? 1u : 0u) << text;
  }
  EXPECT_EQ(CsvField("-1", true), "-1");
  EXPECT_EQ(CsvField("dock, north"), "\"dock, north\"");
  EXPECT_EQ(CsvField("dock 1"), "dock 1");
}

// Both report files of one record: the same valid UTF-8, the CSV's text
// guarded, the JSONL's as it is, numbers as numbers.
TEST(ReportTextTest, CsvAndJsonlAgreeOnOneRule) {
  testing::TempDir dir;
  ReaderRecord r;
  r.reader.name = "=cmd|' /C calc'!A0 \xFC";
  r.reader.host = "10.0.0.5";
  r.reader.address = "10.0.0.5";
  r.outcome = Outcome::kFailed;
  r.exitStatus = -1;
  r.exitStatusRaw = 255;
  r.failureLine = "-bad";
  std::string error;
  ASSERT_TRUE(WriteReport(dir.path().string(), {r}, error)) << error;
  const std::string csv = ReadText(dir.path() / "report.csv");
  EXPECT_NE(csv.find("\n'=cmd|' /C calc'!A0 \xEF\xBF\xBD,10.0.0.5,10.0.0.5,"
                     "5000,failed,-1,255,"),
            std::string::npos)
      << csv;
  EXPECT_NE(csv.find(",'-bad,"), std::string::npos) << csv;
  const auto record =
      nlohmann::json::parse(ReadText(dir.path() / "report.jsonl"));
  EXPECT_EQ(record["name"], "=cmd|' /C calc'!A0 \xEF\xBF\xBD");
  EXPECT_EQ(record["failure_line"], "-bad");
  EXPECT_EQ(record["exit_status"], -1);
}

// A record with every field set, as a run's report holds it.
ReaderRecord FullRecord() {
  ReaderRecord r;
  r.reader = {"dock 1", "dock1.local", "10.0.0.5", 5001, 3, "first line"};
  r.outcome = Outcome::kUpdated;
  r.exitStatus = 0;
  r.exitStatusRaw = 0;
  r.facts.fileVersion = "V1.2.3";
  r.facts.versionBefore = "V1.1.0";
  r.facts.versionAfter = "V1.2.3";
  r.facts.initialBaud = "921600";
  r.facts.refusedTries = 2;
  r.facts.answeredAfterUpdate = true;
  r.imageSha256 = "ab12";
  r.failureLine = "-x, \"y\"";
  r.firstError = "=1+1";
  r.failurePhase = "transfer";
  r.failureAddress = "0x00405000";
  r.moduleState = "untouched";
  r.nextStep = "retry";
  r.current = false;
  r.wave = 2;
  r.startTime = "2026-01-01T10:00:00";
  r.endTime = "2026-01-01T10:01:00";
  r.seconds = 61.26;
  r.logFile = "001-dock.log";
  r.site = "north";
  r.phases = {{"connect", 0, 1.04}, {"transfer", 1.04, 61.26}};
  return r;
}

// The JSON object holds the fields in column order, typed, and then the
// phases; the CSV line that the one writer makes from it is the line the
// typed record makes (a merge writes a run's records back that way).
TEST(ReportTextTest, RecordJsonAndCsvCellsFollowOneFieldList) {
  const ReaderRecord full = FullRecord();
  const nlohmann::ordered_json object = RecordJson(full);
  std::vector<std::string> keys;
  for (const auto& item : object.items()) keys.push_back(item.key());
  std::vector<std::string> expected = ReportFields();
  expected.push_back(field::kPhases);
  EXPECT_EQ(keys, expected);
  EXPECT_EQ(object[field::kPort], 5001);
  EXPECT_EQ(object[field::kInitialBaud], 921600);
  EXPECT_EQ(object[field::kCurrent], false);
  EXPECT_EQ(object[field::kSeconds], 61.3);
  EXPECT_TRUE(object[field::kRun].is_null());
  EXPECT_EQ(object[field::kPhases][1][field::kEnd], 61.3);
  for (const ReaderRecord& r : {full, ReaderRecord{}}) {
    std::ostringstream typed;
    std::ostringstream fromJson;
    WriteCsv(typed, ReportFields(), {RecordCells(r)});
    WriteCsv(fromJson, ReportFields(),
             {JsonCells(RecordJson(r), ReportFields())});
    EXPECT_EQ(typed.str(), fromJson.str());
  }
  std::ostringstream csv;
  WriteCsv(csv, ReportFields(), {RecordCells(full)});
  EXPECT_NE(csv.str().find(",\"'-x, \"\"y\"\"\",'=1+1,"), std::string::npos)
      << csv.str();
  EXPECT_NE(csv.str().find(",no,yes,"), std::string::npos) << csv.str();
}

// A report line reads back through the same field list: every field of a
// full record (the rate written as a number, the note with the line that
// says the answers fell out of step) and of an empty one writes again as
// it was written.
TEST(ReportTextTest, RecordReadBackWritesTheSameLine) {
  ReaderRecord full = FullRecord();
  full.facts.outOfStep = "answers out of step";
  // A phase reads back only under a name of the timeline.
  full.phases = {{"connect-probe", 0, 1.04}, {"transfer", 1.04, 61.26}};
  const nlohmann::ordered_json written = RecordJson(full);
  for (const std::string& name : ReportFields()) {
    if (name != field::kRun) {
      EXPECT_FALSE(written[name].is_null()) << name;
    }
  }
  const ReaderRecord read = RecordFromJson(written);
  EXPECT_EQ(RecordJson(read), written);
  EXPECT_EQ(read.facts.initialBaud, "921600");
  EXPECT_EQ(read.reader.note, "first line; answers out of step");
  EXPECT_EQ(read.outcome, Outcome::kUpdated);
  ASSERT_EQ(read.phases.size(), 2u);
  EXPECT_STREQ(read.phases[1].phase, "transfer");
  const nlohmann::ordered_json empty = RecordJson(ReaderRecord{});
  EXPECT_EQ(RecordJson(RecordFromJson(empty)), empty);
}

// What the page is built from in memory says what the files say: invalid
// UTF-8 in texts and keys is replaced as the JSON writer replaces it.
TEST(ReportTextTest, AsWrittenIsWhatTheFileHolds) {
  const Json value = {{"ok",
                       "S\xC3\xBC"
                       "d"},
                      {"cut \xE2\x82", {"\xC3", 12, -1, 1.5, nullptr}},
                      {"n", 4294967295LL}};
  const std::string written =
      value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  EXPECT_EQ(AsWritten(value).dump(), Json::parse(written).dump());
  EXPECT_EQ(AsWritten(value).dump(), written);
  EXPECT_EQ(AsWritten(value)["ok"], value["ok"]);
}

TEST(ReportTextTest, WavesAreCountsAndSharesWithTheLastRepeated) {
  std::vector<WaveSize> sizes;
  std::string error;
  ASSERT_TRUE(ParseWaves("1,25%", sizes, error)) << error;
  EXPECT_EQ(WavePlan(sizes, 8), (std::vector<size_t>{1, 2, 2, 2, 1}));
  ASSERT_TRUE(ParseWaves("1,5,10%,25%", sizes, error)) << error;
  EXPECT_EQ(WavePlan(sizes, 500),
            (std::vector<size_t>{1, 5, 50, 125, 125, 125, 69}));
  // A share is rounded up and never below one reader.
  ASSERT_TRUE(ParseWaves("1%", sizes, error));
  EXPECT_EQ(WavePlan(sizes, 3), (std::vector<size_t>{1, 1, 1}));
  EXPECT_EQ(WavePlan({}, 4), (std::vector<size_t>{4}));
  for (const char* bad : {"0", "0%", "150%", "1,,2", "", "2.5", "x", "-1"}) {
    EXPECT_FALSE(ParseWaves(bad, sizes, error)) << bad;
  }
  double rate = 0;
  EXPECT_TRUE(ParseFailureRate("12.5%", rate, error));
  EXPECT_EQ(rate, 12.5);
  EXPECT_TRUE(ParseFailureRate("0", rate, error));
  for (const char* bad : {"100%", "150%", "-5%", "ten"}) {
    EXPECT_FALSE(ParseFailureRate(bad, rate, error)) << bad;
  }
}

}  // namespace
}  // namespace modflash::fleet
