// The report's texts as spreadsheets, JSON readers and consoles take them,
// and the wave plan.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

#include "fleet/plan/waves.h"
#include "fleet/report/report.h"
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
