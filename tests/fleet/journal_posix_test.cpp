// The run folder's journal read back: torn and oversized lines, the report
// of a run that ended early, and a transcript judged without its program's
// exit status.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "contract/output_lines.h"
#include "fleet/plan/retry.h"
#include "fleet/report/journal_read.h"
#include "fleet/report/report.h"
#include "fleet/run/journal.h"
#include "fleet/run/resume.h"
#include "tests/support/temp_dir.h"

namespace modflash::testing {
namespace {

using namespace modflash::fleet;

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

Reader MakeReader(int n) {
  Reader r;
  r.name = "reader-" + std::to_string(n);
  r.host = r.address = "127.0.0.1";
  r.port = 10000 + n;
  r.line = n;
  return r;
}

class JournalTest : public ::testing::Test {
 protected:
  // A run folder of three readers whose run.json says it goes on, and the
  // journal as the run wrote it: reader 1 ended, reader 2 in its update,
  // reader 3 never started.
  void WriteRun() {
    std::vector<Reader> readers = {MakeReader(1), MakeReader(2), MakeReader(3)};
    Json plan = {{"kind", "program"}, {"readers", Json::array()}};
    for (const Reader& r : readers) plan["readers"].push_back(ReaderJson(r));
    ASSERT_TRUE(WriteRunJson(folder(), {{"kind", "program"}, {"site", "north"}},
                             kStateRunning, plan));
    Journal journal(folder(), "ab12", "V1.2.3", "north");
    ReaderRecord done;
    done.reader = readers[0];
    done.outcome = Outcome::kUpdated;
    done.exitStatus = 0;
    done.logFile = "001-reader-1.log";
    ReaderRecord flying;
    flying.reader = readers[1];
    flying.logFile = "002-reader-2.log";
    flying.wave = 1;
    ASSERT_TRUE(journal.Starting(0, done, kStepUpdate));
    ASSERT_TRUE(journal.Running(0, 11));
    ASSERT_TRUE(journal.Starting(1, flying, kStepUpdate));
    ASSERT_TRUE(journal.Running(1, 12));
    ASSERT_TRUE(journal.Ended(0, done));
  }
  std::string folder() const { return dir_.path().string(); }
  std::string JournalText() const {
    return ReadText(dir_.path() / kJournalFile);
  }
  static std::string ReadText(const std::filesystem::path& p) {
    std::string text, error;
    ReadRunFile(p.parent_path().string(), p.filename().string(), 1u << 30, text,
                error);
    return text;
  }
  TempDir dir_;
};

TEST_F(JournalTest, UnfinishedRunReadsFromItsJournalInFlightUnknown) {
  WriteRun();
  RunFolder run;
  std::string error;
  ASSERT_TRUE(ReadRunFolder(folder(), run, error)) << error;
  ASSERT_EQ(run.records.size(), 3u);
  EXPECT_EQ(run.records[0]["outcome"], "updated");
  EXPECT_EQ(run.records[0]["image_sha256"], "ab12");
  EXPECT_EQ(run.records[1]["outcome"], "unknown");
  EXPECT_EQ(run.records[1]["module_state"], "may-lack-firmware");
  EXPECT_EQ(run.records[1]["log_file"], "002-reader-2.log");
  EXPECT_EQ(run.records[2]["outcome"], "not-started");
  EXPECT_EQ(run.records[2]["site"], "north");
  // A retry takes the one in flight and the one never started.
  RetryList list;
  ASSERT_TRUE(RetryReaders(folder(), false, ResolveHost, list, error)) << error;
  ASSERT_EQ(list.readers.size(), 2u);
  EXPECT_EQ(list.readers[0].name, "reader-2");
  EXPECT_EQ(list.site, "north");
}

TEST_F(JournalTest, TornLastLineIsLeftOutAndBadLinesAreNamed) {
  WriteRun();
  const std::string whole = JournalText();
  dir_.Write(kJournalFile, Bytes(whole + "{\"entry\":\"end\",\"rea"));
  JournalRead read;
  std::string error;
  ASSERT_TRUE(ReadJournal(folder(), 3, read, error)) << error;
  EXPECT_TRUE(read.torn);
  EXPECT_EQ(read.wholeBytes, whole.size());
  EXPECT_EQ(read.entries, 5u);
  EXPECT_TRUE(read.readers[0].ended);
  EXPECT_EQ(read.readers[1].pid, 12);
  // A whole line that is not an entry of the plan stops the read, named.
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"{\"entry\":\"start\",\"reader\":7}\n", ":6: names no reader"},
      {std::string(kMaxJournalLine + 1, ' ') + "\n", ":6: longer than 1 MiB"},
      {std::string(40, '[') + std::string(40, ']') + "\n", ":6: nested too"},
      {"{\"entry\":\"end\",\"reader\":1}\n", ":6: has no record"},
      {"[1]\n", ":6: not a JSON object"},
      {"{\"entry\":\"running\",\"reader\":2,\"pid\":9}\n",
       ":6: runs before its start entry"}};
  for (const auto& [line, message] : bad) {
    dir_.Write(kJournalFile, Bytes(whole + line));
    EXPECT_FALSE(ReadJournal(folder(), 3, read, error));
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
  // A link is not read, wherever it leads.
  std::filesystem::remove(dir_.path() / kJournalFile);
  std::filesystem::create_symlink(dir_.path() / "run.json",
                                  dir_.path() / kJournalFile);
  EXPECT_FALSE(ReadJournal(folder(), 3, read, error));
}

// The pauses and continues come back in order, for a resumed run's
// run.json; a "by" that is no text is empty.
TEST_F(JournalTest, PausesAndContinuesAreReadBackInOrder) {
  WriteRun();
  Journal journal(folder(), "ab12", "V1.2.3", "north");
  ASSERT_TRUE(journal.Held(kEntryPause, kByKey));
  dir_.Write(kJournalFile,
             Bytes(JournalText() + "{\"entry\":\"continue\",\"by\":7}\n"));
  JournalRead read;
  std::string error;
  ASSERT_TRUE(ReadJournal(folder(), 3, read, error)) << error;
  ASSERT_EQ(read.holds.size(), 2u);
  EXPECT_EQ(read.holds[0].event + " " + read.holds[0].by, "pause key");
  EXPECT_EQ(read.holds[0].time.size(), 19u);
  EXPECT_EQ(read.holds[1].event + " " + read.holds[1].by, "continue ");
}

// The fleet ended between a start entry and its program's start: no
// transcript, or an empty one, and no process id: the reader starts as
// planned. A transcript shows that the program ran after all; a process id
// says that it started, even if its transcript was lost.
TEST_F(JournalTest, StartWhoseProgramNeverRanStartsAgainAsPlanned) {
  const std::vector<Reader> readers = {MakeReader(1), MakeReader(2),
                                       MakeReader(3)};
  Journal journal(folder(), "ab12", "V1.2.3", "");
  ReaderRecord r;
  r.reader = readers[1];
  r.logFile = "002-reader-2.log";
  ASSERT_TRUE(journal.Starting(1, r, kStepUpdate));
  r.reader = readers[2];
  r.logFile = "003-reader-3.log";
  ASSERT_TRUE(journal.Starting(2, r, kStepUpdate));
  ASSERT_TRUE(journal.Running(2, 2147483000));  // ended: beyond pid_max
  // A console closed on Windows: noted, and read past.
  ASSERT_TRUE(journal.Ending());
  dir_.Write("003-reader-3.log", Bytes(""));
  const OrphanWaits quick{5, 0.3, 5};
  const std::string updated = std::string(output::kConnected) + "\n" +
                              output::kVerdictStart + "127.0.0.1" +
                              output::kUpdated + "\n";
  const std::string transcript = "002-reader-2.log";
  for (const char* text : {static_cast<const char*>(nullptr), "", "ran"}) {
    std::filesystem::remove(dir_.path() / transcript);
    if (text != nullptr) {
      dir_.Write(transcript, Bytes(*text != '\0' ? updated : ""));
    }
    JournalRead read;
    std::string error;
    ASSERT_TRUE(ReadJournal(folder(), 3, read, error)) << error;
    EXPECT_EQ(read.readers[1].pid, 0);
    EXPECT_FALSE(read.consoleClosed.empty());
    std::vector<std::optional<ReaderRecord>> kept;
    std::ostringstream out;
    ASSERT_TRUE(
        KeptRecords(folder(), readers, read, false, journal, kept, out, quick));
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_FALSE(kept[0]) << "never started";
    ASSERT_TRUE(kept[2]) << out.str();
    EXPECT_EQ(kept[2]->outcome, Outcome::kUnknown);
    if (text != nullptr && *text != '\0') {
      ASSERT_TRUE(kept[1]) << out.str();
      EXPECT_EQ(kept[1]->outcome, Outcome::kUpdated);
    } else {
      EXPECT_FALSE(kept[1]) << out.str();
      EXPECT_NE(out.str().find("reader-2: the earlier run had not started its "
                               "update; it starts as planned"),
                std::string::npos)
          << out.str();
      ASSERT_TRUE(ReadJournal(folder(), 3, read, error)) << error;
      EXPECT_FALSE(read.readers[1].ended);
    }
  }
}

TEST_F(JournalTest, LockOfALiveProcessRefusesAndAStaleOneIsTaken) {
  std::string error;
  ASSERT_TRUE(TakeRunLock(folder(), error)) << error;
  EXPECT_FALSE(RunAliveElsewhere(folder()));  // ours
  ReleaseRunLock(folder());
  EXPECT_EQ(LockHolder(folder()), 0);
  // Process 1 runs whatever happens; a pid far beyond pid_max does not.
  dir_.Write(kLockFile, Bytes("1\n"));
  EXPECT_TRUE(RunAliveElsewhere(folder()));
  EXPECT_FALSE(TakeRunLock(folder(), error));
  EXPECT_NE(error.find("goes on in process 1"), std::string::npos) << error;
  dir_.Write(kLockFile, Bytes("2147483000\n"));
  EXPECT_TRUE(TakeRunLock(folder(), error)) << error;
}

TEST(OrphanTest, TranscriptAloneTellsUpdatedFailedOrUnknown) {
  const Reader reader = MakeReader(4);
  ReaderTrace trace;
  trace.logFile = "004-reader-4.log";
  trace.startTime = "2026-01-01T10:00:00";
  const std::string start = std::string(output::kConnected) + "\n";
  const std::string done = start + output::kWritten + "\n\n" +
                           output::kVerdictStart + "127.0.0.1" +
                           output::kUpdated + "\n";
  ReaderRecord r = JudgeOrphan(reader, trace, done, false);
  EXPECT_EQ(r.outcome, Outcome::kUpdated);
  EXPECT_EQ(r.logFile, trace.logFile);
  EXPECT_FALSE(r.exitStatusRaw);  // not known
  const std::string unconfirmed = start + "\n" + output::kVerdictStart +
                                  "127.0.0.1" + output::kUnconfirmed + "\n";
  EXPECT_EQ(JudgeOrphan(reader, trace, unconfirmed, false).outcome,
            Outcome::kFailed);
  r = JudgeOrphan(reader, trace, start + "0X00404000 ****", false);
  EXPECT_EQ(r.outcome, Outcome::kUnknown);
  EXPECT_EQ(r.moduleState, "may-lack-firmware");
  EXPECT_EQ(r.startTime, trace.startTime);
}

TEST(OrphanTest, RecordReadBackIsTheRecordWritten) {
  ReaderRecord r;
  r.reader = MakeReader(5);
  r.reader.note = "a note";
  r.outcome = Outcome::kFailed;
  r.exitStatus = -1;
  r.exitStatusRaw = 255;
  r.facts.versionBefore = "V1.0.0";
  r.facts.refusedTries = 3;
  r.facts.answeredAfterUpdate = false;
  r.current = true;
  r.failurePhase = "transfer";
  r.failureAddress = "0x00405000";
  r.wave = 2;
  r.seconds = 12.5;
  r.phases = {{"transfer", 1.0, 2.5}};
  const Json written = RecordJson(r);
  EXPECT_EQ(RecordJson(RecordFromJson(written)), written);
}

}  // namespace
}  // namespace modflash::testing
