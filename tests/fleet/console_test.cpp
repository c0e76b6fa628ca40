// The console's texts at a width: the first lines, the notes, the closing
// table and its counts; the plain lines' dates; the time left; the run
// folder's name; the numeric options' usage errors.

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <future>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fleet/cli/run_steps.h"
#include "fleet/console/display.h"
#include "fleet/console/lines.h"
#include "fleet/console/table.h"
#include "fleet/text/text.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace modflash::fleet {
namespace {

namespace fs = std::filesystem;

const std::string kSha(64, 'a');

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Every line at most `width` characters, but for one that is a single
// word (a path, a checksum) after its indent.
void ExpectFits(const std::string& text, size_t width) {
  for (const std::string& line : Lines(text)) {
    const size_t start = line.find_first_not_of(' ');
    const bool oneWord =
        line.find(' ', start == std::string::npos ? 0 : start) ==
        std::string::npos;
    EXPECT_TRUE(TextWidth(line) <= width || oneWord) << line << "\n" << text;
  }
}

ReaderRecord Record(const std::string& name, Outcome outcome,
                    double seconds = 30) {
  ReaderRecord r;
  r.reader.name = name;
  r.reader.host = r.reader.address = "127.0.0.1";
  r.reader.port = 40001;
  r.outcome = outcome;
  r.seconds = seconds;
  return r;
}

ReaderRecord Unreachable(const std::string& name) {
  ReaderRecord r = Record(name, Outcome::kFailed, 0.4);
  r.exitStatus = -1;
  r.failureLine = "Unable to determine module's baud rate";
  r.firstError =
      "Failed to connect to reader. Error (10061) Connection refused";
  return r;
}

TEST(ConsoleLinesTest, FieldsBreakBetweenFieldsAndListsAreShortened) {
  EXPECT_EQ(ShortList({"4", "8", "8", "8", "2"}, 0), "4, 8, 8, 8, 2");
  EXPECT_EQ(ShortList({"4", "8", "8", "8", "8", "8", "8", "2"}, 18),
            "4, 8, 8, ... (8)");
  EXPECT_EQ(ShortList({"40000", "80000"}, 3), "40000, ... (2)");

  const std::vector<std::string> header = {
      "modflash-fleet: programming of 30 reader(s)", "up to 16 at a time",
      "waves 4, 8, 8, 8, 2", "stop after 3 failure(s)"};
  EXPECT_EQ(FitFields(header, ", ", 0),
            (std::vector<std::string>{
                "modflash-fleet: programming of 30 reader(s), up to 16 at a "
                "time, waves 4, 8, 8, 8, 2, stop after 3 failure(s)"}));
  EXPECT_EQ(FitFields(header, ", ", 80),
            (std::vector<std::string>{
                "modflash-fleet: programming of 30 reader(s), up to 16 at a "
                "time,",
                "  waves 4, 8, 8, 8, 2, stop after 3 failure(s)"}));
  // A checksum or a path stands whole on a line of its own.
  const std::string path = "/srv/images/" + std::string(90, 'p') + ".bin";
  const std::vector<std::string> image =
      FitFields({"Image:", path, "(V1.2.3,", "SHA-256 " + kSha + ")"}, " ", 80);
  EXPECT_EQ(image,
            (std::vector<std::string>{"Image:", "  " + path, "  (V1.2.3,",
                                      "  SHA-256 " + kSha + ")"}));

  const std::string note =
      "Interrupted: no further update starts. Waiting for the 12 running "
      "update(s) to finish; stopping one part-way can leave its module "
      "without firmware.\nPress Ctrl-C again to end them anyway.";
  const std::vector<std::string> wrapped = WrapWords(note, 40);
  ExpectFits(Joined(wrapped), 40);
  EXPECT_EQ(wrapped.front(), "Interrupted: no further update starts.");
  EXPECT_EQ(wrapped.back(), "Press Ctrl-C again to end them anyway.");
  EXPECT_EQ(WrapWords("a  b", 0), std::vector<std::string>{"a  b"});
  EXPECT_EQ(WrapWords("a  b\n  c d", 3),
            (std::vector<std::string>{"a b", "  c", "d"}));
}

// The closing table at 80 columns: a row a line, the columns that may go
// gone, and the cause of a failure in full below its row.
TEST(ConsoleSummaryTest, TableFitsTheWidthAndKeepsTheCause) {
  std::vector<ReaderRecord> records = {Record("reader-1", Outcome::kUpdated),
                                       Unreachable("reader-2")};
  records[0].exitStatus = 0;
  std::ostringstream wide;
  Display(wide, false, 1, 0).Summary(records, RunKind::kProgram);
  const std::vector<std::string> whole = Lines(wide.str());
  ASSERT_GE(whole.size(), 4u);
  EXPECT_EQ(whole[1].rfind("name      address          outcome", 0), 0u);
  EXPECT_EQ(whole[3].rfind("reader-2  ", 0), 0u);
  EXPECT_NE(whole[3].find("Unable to determine module's baud rate (first "
                          "error: Failed to connect to reader. Error (10061) "
                          "Connection refused)"),
            std::string::npos)
      << wide.str();

  std::ostringstream narrow;
  Display(narrow, false, 1, 80).Summary(records, RunKind::kProgram);
  const std::string text = narrow.str();
  ExpectFits(text, 80);
  const std::vector<std::string> lines = Lines(text);
  EXPECT_EQ(lines[1].find("detail"), std::string::npos) << text;
  EXPECT_EQ(lines[2].rfind("reader-1  127.0.0.1:40001  updated", 0), 0u)
      << text;
  EXPECT_EQ(lines[3].rfind("reader-2  ", 0), 0u) << text;
  // The cause, whole, in the lines below the failed reader's row.
  std::string below;
  for (size_t i = 4; i < lines.size() && lines[i].rfind("    ", 0) == 0; ++i) {
    below += lines[i].substr(4) + " ";
  }
  EXPECT_NE(below.find("Error (10061) Connection refused"), std::string::npos)
      << text;

  // Narrower: the seconds go first, then the exit status.
  std::ostringstream fifty;
  Display(fifty, false, 1, 50).Summary(records, RunKind::kProgram);
  ExpectFits(fifty.str(), 50);
  EXPECT_EQ(Lines(fifty.str())[1],
            "name      address          outcome          exit")
      << fifty.str();
  std::ostringstream forty;
  Display(forty, false, 1, 40).Summary(records, RunKind::kProgram);
  ExpectFits(forty.str(), 40);
  EXPECT_EQ(Lines(forty.str())[1].find("exit"), std::string::npos)
      << forty.str();
}

TEST(ConsoleSummaryTest, CountsAreThoseOfTheRunKind) {
  const std::vector<ReaderRecord> program = {Record("a", Outcome::kUpdated),
                                             Record("b", Outcome::kFailed),
                                             Record("c", Outcome::kNotStarted)};
  EXPECT_EQ(RunCounts(program, RunKind::kProgram),
            "3 readers: 1 updated, 0 already current, 0 newer than the image "
            "(not updated), 1 failed, 1 not started");
  const std::vector<ReaderRecord> dry = {Record("a", Outcome::kDryRunOk),
                                         Record("b", Outcome::kUnknown)};
  EXPECT_EQ(RunCounts(dry, RunKind::kDryRun),
            "2 readers: 1 dry-run-ok, 0 failed, 1 unknown, 0 not started");
  // At 60 columns the counts break between fields.
  std::ostringstream out;
  Display(out, false, 1, 60).Summary(program, RunKind::kProgram);
  ExpectFits(out.str(), 60);
  EXPECT_NE(out.str().find("\n3 readers: 1 updated, 0 already current,\n  0 "
                           "newer than the image"),
            std::string::npos)
      << out.str();
}

// The wall clock of the plain lines' test: a time that the test sets.
std::time_t testNow = 0;
std::time_t TestClock() { return testNow; }

std::time_t LocalAt(int year, int month, int day, int hour, int minute,
                    int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

TEST(ConsolePlainTest, TheDateComesFirstAndOnEachChangeOfDay) {
  std::ostringstream out;
  Display display(out, false, 1, 0, TestClock);
  const ReaderRecord r = Record("reader-1", Outcome::kUpdated);
  testNow = LocalAt(2026, 12, 31, 23, 59, 58);
  display.Started(r);
  testNow = LocalAt(2026, 12, 31, 23, 59, 59);
  display.Started(r);
  testNow = LocalAt(2027, 1, 1, 0, 0, 1);
  display.Finished(r);
  EXPECT_EQ(out.str(),
            "Date: 2026-12-31\n"
            "23:59:58 started  reader-1 (127.0.0.1:40001)\n"
            "23:59:59 started  reader-1 (127.0.0.1:40001)\n"
            "Date: 2027-01-01\n"
            "00:00:01 finished reader-1: updated\n");
}

// Readers left alone or never started set no pace; no estimate until a
// run that really ran has ended.
TEST(ConsoleEstimateTest, OnlyRunsThatRanSetThePace) {
  EXPECT_FALSE(SetsThePace(Record("a", Outcome::kAlreadyCurrent, 0.05)));
  EXPECT_FALSE(SetsThePace(Record("a", Outcome::kNewerThanImage, 0.05)));
  EXPECT_FALSE(SetsThePace(Record("a", Outcome::kNotStarted, 0.0)));
  EXPECT_FALSE(SetsThePace(Record("a", Outcome::kFailed, 0.0)));  // no child
  EXPECT_TRUE(SetsThePace(Record("a", Outcome::kFailed, 4.0)));
  EXPECT_TRUE(SetsThePace(Record("a", Outcome::kAnswered, 0.1)));

  std::ostringstream out;
  Display display(out, true, 16);
  for (int i = 0; i < 3; ++i) {
    display.Finished(Record("current", Outcome::kAlreadyCurrent, 0.05));
  }
  Totals totals;
  totals.readers = 46;
  totals.succeeded = 3;
  totals.running = 16;
  totals.waiting = 27;
  const std::vector<LiveLine> running(16, LiveLine{"r", "transfer", 10, 2.0});
  display.Live(running, totals, true);
  EXPECT_EQ(out.str().find(" left"), std::string::npos) << out.str();
  display.Finished(Record("updated", Outcome::kUpdated, 60));
  display.Live(running, totals, true);
  // 16 running for 58 s more, then 27 waiting in two rounds of a minute.
  EXPECT_NE(out.str().find("about 2:58 left"), std::string::npos) << out.str();
}

TEST(ConsoleEstimateTest, LongRunsStillGoingCountWithTheirTimeSoFar) {
  EXPECT_FALSE(TypicalSeconds(0, 0, {30}).has_value());
  EXPECT_DOUBLE_EQ(*TypicalSeconds(0.3, 3, {}), 0.1);
  // Three quick answers; sixteen reads waiting 3 s on their time-outs.
  EXPECT_DOUBLE_EQ(*TypicalSeconds(0.3, 3, std::vector<double>(16, 3.0)),
                   48.3 / 19);
  // Updates that just started say nothing yet.
  EXPECT_DOUBLE_EQ(*TypicalSeconds(120, 2, {1, 2}), 60);
}

// The default run folder: one name a run, even in the same second, and
// from two processes at once.
TEST(RunFolderTest, TakenNamesGetTheNextNumber) {
  testing::TempDir dir;
  const std::string stem =
      (dir.path() / "modflash-fleet-20261209-100000").string();
  std::string error;
  EXPECT_EQ(NewRunFolder(stem, error), stem);
  EXPECT_EQ(NewRunFolder(stem, error), stem + "-2");
  EXPECT_EQ(NewRunFolder(stem, error), stem + "-3");
  std::vector<std::future<std::string>> racing;
  for (int i = 0; i < 8; ++i) {
    racing.push_back(std::async(std::launch::async, [&stem] {
      std::string e;
      return NewRunFolder(stem, e);
    }));
  }
  std::set<std::string> names;
  for (auto& f : racing) names.insert(f.get());
  EXPECT_EQ(names.size(), 8u);
  EXPECT_EQ(names.count(""), 0u);
  EXPECT_TRUE(fs::is_directory(stem + "-11"));
  EXPECT_EQ(NewRunFolder((dir.path() / "no" / "such").string(), error), "");
  EXPECT_NE(error.find("cannot make the run folder"), std::string::npos);
}

// A count that is no count is a usage error of one line, status 2.
TEST(NumericOptionsTest, BadCountsAreUsageErrors) {
  const struct {
    std::vector<std::string> args;
    std::string said;
  } cases[] = {
      {{"--max-failures", "-1"},
       "--max-failures: -1 is not a count (0 or more"},
      {{"--max-failures", "1e3"}, "--max-failures: 1e3 is not a count"},
      {{"-j", "0"}, "--jobs: 0 is not a count from 1 to 4096"},
      {{"--jobs", "99999999999"}, "--jobs: 99999999999 is not a count"},
      {{"--canary", "-2"}, "--canary: -2 is not a count from 1"},
      {{"--min-finished", "x"}, "--min-finished: x is not a count from 1"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--program", "img.bin", "fleet.txt"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const testing::ProcessResult r =
        testing::RunProcess(MODFLASH_FLEET_BIN, args);
    EXPECT_EQ(r.status, 2) << c.args[0];
    EXPECT_NE(r.err.find("modflash-fleet: " + c.said), std::string::npos)
        << r.err;
    EXPECT_LT(r.err.size(), 200u) << r.err;
  }
}

}  // namespace
}  // namespace modflash::fleet
