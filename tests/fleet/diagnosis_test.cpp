// What the report says of a failed run: its phase, the module's state, the
// flash address and the advice, from transcripts of every kind of failure;
// and the operator guide giving the same advice.

#include "fleet/transcript/diagnosis.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fleet/transcript/judgement.h"
#include "tests/support/transcript.h"

namespace modflash::fleet {
namespace {

using namespace modflash::testing::transcript;

const std::string kStart =
    Header("Real programming run", "img.bin", "10.0.0.5:5000") +
    "Firmware file successfully read.\n"
    "Firmware file is valid\n"
    "File Firmware Version: V1.2.3\n";
const std::string kTimeout =
    "Error receiving message from reader. Error #10060.\n";

std::string Probed() {
  return kStart + "Connected to reader.\n\nAutoBaud: 921600 succeeded\n";
}

std::string UpToTransfer() {
  return Probed() +
         "Current baud rate: 921600\n"
         "Successfully set baud rate to 115200 baud\n" +
         Wait(8) + "Current firmware version: V1.1.0\n" + kUpdateMode;
}

std::string Completed() {
  return UpToTransfer() + Progress() + kSent +
         "Module Firmware successfully written.\n" + Wait(8);
}

struct Case {
  const char* what;
  std::string transcript;
  const char* phase;
  const char* state;
  const char* address;  // "" for none
  const char* lastLine;
};

std::vector<Case> Cases() {
  std::string noAnswer = kStart + "Connected to reader.\n\n";
  for (const char* rate : {"921600", "115200", "230400", "460800"}) {
    noAnswer += kTimeout + "AutoBaud: " + rate + " failed\n";
  }
  std::string silentRestart = Probed() +
                              "Current baud rate: 921600\n"
                              "Successfully set baud rate to 115200 baud\n"
                              "Resetting Module\n"
                              "Waiting for re-initialization . . . ";
  for (int i = 0; i < 20; ++i) silentRestart += kTimeout + ". ";
  std::string refused = UpToTransfer() + Progress().substr(0, 76);
  for (int i = 0; i < 5; ++i) {
    refused += "SendCodePacket 4214784 failed. Error: 03\n#";
  }
  return {
      {"refused connection",
       kStart + "Failed to connect to reader. Error (10061) Connection "
                "refused\n\nError sending message to reader. Error #10038.\n"
                "AutoBaud: 921600 failed\nUnable to determine module's baud "
                "rate\n",
       "connect", output::kUntouched, "",
       "Unable to determine module's baud rate"},
      {"a reader that takes the connection and never answers",
       noAnswer + "Unable to determine module's baud rate\n"
                  "Smooth socket shutdown process failed.\n",
       "probe", output::kUntouched, "",
       "Unable to determine module's baud rate"},
      {"no rate from the reader",
       Probed() + "Unexpected response from GetBaudRate)Unable to retrieve "
                  "module baud rate\n",
       "baud-rate", output::kUntouched, "",
       "Unexpected response from GetBaudRate)Unable to retrieve module baud "
       "rate"},
      {"no module after the rate change",
       silentRestart + "\n\nUnable to retrieve firmware version\n",
       "restart-wait", output::kUntouched, "",
       "Unable to retrieve firmware version"},
      {"update mode refused",
       Probed() + "Current baud rate: 921600\n" + Wait(8) +
           "Current firmware version: V1.1.0\n"
           "Entering InitiateFirmwareUpdate\n"
           "Waiting for module to reset & initialize\n"
           "Sending Update_EnterUpdateMode packet.\n"
           "Failed to enter Update Mode correctly. Error: 05\n"
           "Update_EnterUpdateMode returned an error response.\n",
       "enter-update-mode", output::kUntouched, "",
       "Update_EnterUpdateMode returned an error response."},
      {"a slice refused five times",
       refused + "SendCodePacket failed at buffer offset 4096 with 5 "
                 "retries\n",
       "transfer", output::kMayLackFirmware, "0x00405000",
       "SendCodePacket failed at buffer offset 4096 with 5 retries"},
      {"answers out of step",
       UpToTransfer() + Progress() + "\n" +
           "Transfer not confirmed: the module's answers fell out of step "
           "with the requests.\n",
       "transfer", output::kMayLackFirmware, "0x00435000",
       "Transfer not confirmed: the module's answers fell out of step with "
       "the requests."},
      {"completion refused",
       UpToTransfer() + Progress() + kSent +
           "ExitUpdateMode failed. Error: 07\n"
           "Update_Complete returned an error response.\n",
       "complete", output::kMayLackFirmware, "",
       "Update_Complete returned an error response."},
      {"no answer after the update",
       UpToTransfer() + Progress() + kSent +
           "Module Firmware successfully written.\n" + Wait(28) +
           "Post-update firmware version: unknown (the module did not "
           "answer)\nSuccessfully reset baud rate to 921600 baud\n\n"
           "Module firmware for reader 10.0.0.5 could not be confirmed: the "
           "module did not answer after the update.\n",
       "post-update-wait", output::kUnknownState, "",
       "Module firmware for reader 10.0.0.5 could not be confirmed: the "
       "module did not answer after the update."},
      {"final rate refused",
       Completed() + "Post-update firmware version: V1.2.3\n"
                     "Set baud rate failed.\n"
                     "Unable to set module baud rate to 921600 baud\n",
       "final-baud-rate", output::kUpdatedState, "",
       "Unable to set module baud rate to 921600 baud"},
      {"another version after the update",
       Completed() + "Post-update firmware version: V1.1.0\n"
                     "Successfully reset baud rate to 921600 baud\n"
                     "OOPS. Something bad happened. The version number in "
                     "the file (V1.2.3)\n      does not match the version "
                     "retrieved from the reader (V1.1.0)\n",
       "verify", output::kUnknownState, "",
       "does not match the version retrieved from the reader (V1.1.0)"},
  };
}

TEST(DiagnosisTest, EachFailureHasItsPhaseStateAddressAndAdvice) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    ReaderRecord record;
    process::ChildExit exit;
    exit.exited = true;
    exit.status = 255;  // -1 on POSIX
    JudgeRun(c.transcript, exit, false, false, record);
    EXPECT_EQ(record.outcome, Outcome::kFailed);
    EXPECT_EQ(record.failurePhase, c.phase);
    EXPECT_EQ(record.moduleState, c.state);
    EXPECT_EQ(record.failureAddress, c.address);
    EXPECT_EQ(record.failureLine, c.lastLine);
    EXPECT_EQ(record.nextStep, std::string(NextStep(c.phase)));
    EXPECT_FALSE(record.nextStep.empty());
    // Never a mark of the progress display or of a wait.
    EXPECT_EQ(record.firstError.find(". ."), std::string::npos);
    EXPECT_NE(record.firstError.rfind("Waiting", 0), 0u) << record.firstError;
    // A dry run writes nothing, whatever happened.
    JudgeRun(c.transcript, exit, false, true, record);
    EXPECT_EQ(record.moduleState, output::kUntouched);
  }
}

TEST(DiagnosisTest, FirstErrorLosesWaitMarksAndHarmlessLinesAreSkipped) {
  const std::vector<Case> cases = Cases();
  ReaderRecord record;
  process::ChildExit exit;
  exit.exited = true;
  exit.status = 255;
  JudgeRun(cases[3].transcript, exit, false, false, record);
  EXPECT_EQ(record.firstError,
            "Error receiving message from reader. Error #10060.");
  JudgeRun(cases[1].transcript, exit, false, false, record);
  EXPECT_EQ(record.firstError,
            "Error receiving message from reader. Error #10060.");
}

// An audit whose reader left the rate query unanswered but whose module
// gave its version: the record names the part that failed and keeps the
// version, compared with the image's.
TEST(DiagnosisTest, AuditNamesThePartThatFailedAndKeepsTheVersionRead) {
  const std::string connected = "Connected to reader.\n";
  ReaderRecord record;
  JudgeAudit(connected + kTimeout + "Unable to retrieve module baud rate\n" +
                 "Current firmware version: V1.1.0\n",
             output::kAuditNoModuleAnswer, "V1.2.3", record);
  EXPECT_EQ(record.outcome, Outcome::kNoModuleAnswer);
  EXPECT_EQ(record.failurePhase, output::kPhaseBaudRate);
  EXPECT_EQ(record.failureLine, "Unable to retrieve module baud rate");
  EXPECT_EQ(record.facts.versionBefore, "V1.1.0");
  EXPECT_EQ(record.current, false);
  // The module silent after the rate was read: its version is unknown.
  record = ReaderRecord();
  JudgeAudit(connected + "Current baud rate: 921600\n" + kTimeout +
                 "Unable to retrieve firmware version\n",
             output::kAuditNoModuleAnswer, "V1.2.3", record);
  EXPECT_EQ(record.failurePhase, output::kPhaseProbe);
  EXPECT_EQ(record.failureLine, "Unable to retrieve firmware version");
  EXPECT_FALSE(record.current.has_value());
}

// Ended by the fleet tool part-way: interrupted, and the module's state
// from how far it got.
TEST(DiagnosisTest, InterruptedRunsSayWhereTheModuleWasLeft) {
  process::ChildExit killed;  // a signal on POSIX
  ReaderRecord record;
  const std::string progress = Progress();
  JudgeRun(UpToTransfer() + progress.substr(0, progress.find("\n0X00410000")),
           killed, true, false, record);
  EXPECT_EQ(record.failurePhase, "interrupted");
  EXPECT_EQ(record.moduleState, output::kMayLackFirmware);
  EXPECT_EQ(record.failureAddress, "0x0040F000");
  EXPECT_FALSE(record.exitStatus.has_value());
  // Its line says that it was interrupted and where, never the last line
  // of the transcript, which is no failure of its own.
  EXPECT_EQ(record.failureLine,
            "Interrupted by a second Ctrl-C in its transfer step, at "
            "0x0040F000, after its module entered update mode.");
  JudgeRun(UpToTransfer(), killed, true, false, record);
  EXPECT_EQ(record.failureLine.rfind(output::kInterruptedLine, 0), 0u);
  EXPECT_EQ(record.failureLine.find("Successfully"), std::string::npos)
      << record.failureLine;
  EXPECT_NE(record.failureLine.find("update mode"), std::string::npos);
  JudgeRun(Probed(), killed, true, false, record);
  EXPECT_EQ(record.moduleState, output::kUntouched);
  EXPECT_EQ(record.failureLine.rfind(output::kInterruptedLine, 0), 0u);
  EXPECT_EQ(record.failureLine.find("update mode"), std::string::npos);
  JudgeRun(Completed(), killed, true, false, record);
  EXPECT_EQ(record.moduleState, output::kUnknownState);
  EXPECT_EQ(record.failureLine.find("written"), std::string::npos)
      << record.failureLine;
  // A run that failed of itself keeps its transcript's last line.
  process::ChildExit failed;
  failed.exited = true;
  failed.status = 255;
  JudgeRun(Probed() + "Unable to retrieve module baud rate\n", failed, false,
           false, record);
  EXPECT_EQ(record.failureLine, "Unable to retrieve module baud rate");
}

// A module that reports the image's version is left alone, and its record
// says that only the version was compared.
TEST(DiagnosisTest, AlreadyCurrentSaysOnlyTheVersionWasCompared) {
  TranscriptFacts read;
  read.versionBefore = "V1.2.3";
  ReaderRecord record;
  JudgeCurrent(read, record);
  EXPECT_EQ(record.outcome, Outcome::kAlreadyCurrent);
  EXPECT_EQ(record.moduleState, output::kAlreadyCurrentState);
  EXPECT_EQ(record.current, true);
  EXPECT_NE(record.nextStep.find(output::kSameVersionOnly), std::string::npos)
      << record.nextStep;
  EXPECT_NE(record.nextStep.find("V1.2.3"), std::string::npos);
  EXPECT_NE(record.nextStep.find("--force"), std::string::npos);
}

// The rows of the first table in `doc` whose header starts with `head`: the
// cells of each row, trimmed.
std::vector<std::vector<std::string>> TableRows(const std::string& doc,
                                                const std::string& head) {
  std::ifstream in(MODFLASH_SOURCE_DIR "/docs/" + doc, std::ios::binary);
  std::vector<std::vector<std::string>> rows;
  bool inTable = false;
  for (std::string line; std::getline(in, line);) {
    if (!inTable) {
      inTable = line.rfind(head, 0) == 0;
      continue;
    }
    if (line.rfind("|---", 0) == 0) continue;
    if (line.empty() || line[0] != '|') break;
    std::vector<std::string> cells;
    size_t from = 1;
    for (size_t bar; (bar = line.find(" |", from)) != std::string::npos;
         from = bar + 2) {
      const size_t start = line.find_first_not_of(' ', from);
      cells.push_back(line.substr(start, bar - start));
    }
    rows.push_back(cells);
  }
  return rows;
}

// The guide's table of failure phases is the report's: the same phases in
// the same order, each with its module state and its advice word for word.
TEST(DiagnosisTest, OperatorGuideTableIsThePhaseTable) {
  const auto rows =
      TableRows("operator-guide.md", "| `failure_phase` | Where the run");
  ASSERT_EQ(rows.size(), std::size(output::kFailurePhases));
  for (size_t i = 0; i < rows.size(); ++i) {
    const output::FailurePhase& p = output::kFailurePhases[i];
    ASSERT_EQ(rows[i].size(), 4u) << p.name;
    EXPECT_EQ(rows[i][0], std::string("`") + p.name + "`");
    if (*p.moduleState != '\0') {
      EXPECT_NE(rows[i][2].find(std::string("`") + p.moduleState + "`"),
                std::string::npos)
          << p.name << ": " << rows[i][2];
    }
    EXPECT_EQ(rows[i][3], p.nextStep);
    EXPECT_EQ(rows[i][3], NextStep(p.name));
  }
}

// The guide's row of an already-current module: what it was decided by,
// and the record's own next step, word for word.
TEST(DiagnosisTest, OperatorGuideSaysAlreadyCurrentIsTheVersionAlone) {
  const auto rows =
      TableRows("operator-guide.md", "| `outcome` | What happened |");
  TranscriptFacts read;
  read.versionBefore = "V1.2.3";
  ReaderRecord record;
  JudgeCurrent(read, record);
  bool found = false;
  for (const auto& row : rows) {
    if (row.size() != 4 || row[0] != "`already-current`") continue;
    found = true;
    EXPECT_NE(row[1].find(output::kSameVersionOnly), std::string::npos)
        << row[1];
    EXPECT_EQ(row[3], record.nextStep);
  }
  EXPECT_TRUE(found) << "no already-current row in the guide";
}

// The fleet guide's table of the timeline's phases: the same phases in the
// same order, each opened by the line the phase log waits for.
TEST(DiagnosisTest, FleetGuideTimelineIsThePhaseTable) {
  const auto rows = TableRows("fleet.md", "| Phase | Opened by |");
  ASSERT_EQ(rows.size(), std::size(output::kTimeline));
  for (size_t i = 0; i < rows.size(); ++i) {
    const output::TimelinePhase& p = output::kTimeline[i];
    ASSERT_EQ(rows[i].size(), 2u) << p.name;
    EXPECT_EQ(rows[i][0], std::string("`") + p.name + "`");
    if (p.opener != nullptr) {
      EXPECT_EQ(rows[i][1].rfind(std::string("\"") + p.opener + "\"", 0), 0u)
          << p.name << ": " << rows[i][1];
    }
  }
}

}  // namespace
}  // namespace modflash::fleet
