// The update sequence against a scripted module behind the fake link: every
// failure path, the waits and both front-end revisions, in milliseconds.

#include "app/update_sequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/support/capture.h"
#include "tests/support/fake_update_comm.h"
#include "tests/support/temp_dir.h"
#include "tests/support/transcript.h"

namespace modflash::testing {
namespace {

using Kind = FakeCall::Kind;
using namespace transcript;

// The flash address an Update_SendCode packet carries.
uint32_t AddressOf(const std::vector<uint8_t>& packet) {
  uint32_t address = 0;
  for (int i = 3; i >= 0; --i) {
    address = address << 8 | packet[13 + static_cast<size_t>(i)];
  }
  return address;
}

// A module that answers what the sequence sends, with faults to order.
struct ScriptedModule {
  uint8_t version[3] = {1, 2, 3};
  uint8_t versionAfter[3] = {1, 2, 3};
  bool updated = false;
  /// Version commands (probe and polls, counted from 1) left unanswered.
  std::set<int> silentVersionReads;
  /// No version command is answered once the update was completed.
  bool silentAfterUpdate = false;
  int versionReads = 0;
  uint8_t enterStatus = 0x0E;
  /// Flash address of a slice refused `refusals` times with status 0x03.
  uint32_t refusedAddress = 0;
  int refusals = 0;
  uint8_t completeStatus = 0;  // 0: the right one for the run kind
  bool sawTestFlag = false;

  FakeAnswer Answer(const std::vector<uint8_t>& frame) {
    if (frame.size() == 16 && frame[5] == 0x60) {
      ++versionReads;
      if (silentVersionReads.count(versionReads) != 0 ||
          (updated && silentAfterUpdate))
        return FakeAnswer::None();
      const uint8_t* v = updated ? versionAfter : version;
      return FakeAnswer::Of(VersionAnswer(0, v[0], v[1], v[2]));
    }
    if (frame.size() == 16) return FakeAnswer::Of(std::vector<uint8_t>(16, 0));
    switch (frame[7]) {
      case 2:
        return FakeAnswer::Of(StatusAnswer(enterStatus));
      case 3: {
        const uint32_t address = AddressOf(frame);
        sawTestFlag = frame[21] == 1;
        if (address == refusedAddress && refusals > 0) {
          --refusals;
          return FakeAnswer::Of(StatusAnswer(0x03));
        }
        return FakeAnswer::Of(StatusAnswer(0x00));
      }
      default:
        updated = true;
        return FakeAnswer::Of(StatusAnswer(completeStatus != 0 ? completeStatus
                                           : sawTestFlag       ? 0x0A
                                                               : 0x09));
    }
  }
};

struct RunOutcome {
  int status = 0;
  std::string out;
  std::shared_ptr<FakeLinkLog> log;
};

class UpdateSequenceTest : public ::testing::Test {
 protected:
  UpdateSequenceTest() : image_(MakeImage(1, 2, 3)) { Fresh(921600); }

  // A new module, fake link and controller; the link reports `rate`.
  void Fresh(int32_t rate) {
    auto fake = std::make_unique<FakeUpdateComm>();
    fake_ = fake.get();
    log_ = fake->log();
    module_ = ScriptedModule{};
    fake_->SetResponder([this](const std::vector<uint8_t>& frame) {
      return module_.Answer(frame);
    });
    StartAt(rate);
    controller_ = std::make_unique<UpdateController>(std::move(fake));
  }

  void StartAt(int32_t rate) {
    fake_->SetDefaultGetBaudRateResult({true, rate, ""});
  }

  RunOutcome Run(bool testMode, Revision revision = Revision::kCurrent) {
    RunOutcome outcome;
    StdoutCapture capture;
    FirmwareImage image;
    image.codeBuffer = image_.data();
    image.version = FirmwareVersion{1, 2, 3};
    outcome.status =
        RunUpdateSteps(*controller_, "10.0.0.5", testMode, image, revision);
    controller_.reset();
    outcome.out = capture.Take();
    outcome.log = log_;
    return outcome;
  }

  std::vector<uint8_t> image_;
  ScriptedModule module_;
  FakeUpdateComm* fake_ = nullptr;
  std::shared_ptr<FakeLinkLog> log_;
  std::unique_ptr<UpdateController> controller_;
};

size_t CountOf(const std::shared_ptr<FakeLinkLog>& log, Kind kind,
               int64_t value) {
  size_t n = 0;
  for (const FakeCall& call : log->calls) {
    if (call.kind == kind && call.value == value) ++n;
  }
  return n;
}

// The rates set through SetBaudRate, in order.
std::vector<int64_t> RatesSet(const std::shared_ptr<FakeLinkLog>& log) {
  std::vector<int64_t> rates;
  for (const FakeCall& call : log->calls) {
    if (call.kind == Kind::kSetBaudRate) rates.push_back(call.value);
  }
  return rates;
}

// True when the link was disconnected (CloseLink) and only then destroyed.
bool ClosedThenDestroyed(const std::shared_ptr<FakeLinkLog>& log) {
  const auto& calls = log->calls;
  return calls.size() >= 2 &&
         calls[calls.size() - 2].kind == Kind::kDisconnect &&
         calls.back().kind == Kind::kDestroyed;
}

bool DestroyedWithoutClose(const std::shared_ptr<FakeLinkLog>& log) {
  return log->destroyed && log->Count(Kind::kDisconnect) == 0;
}

TEST_F(UpdateSequenceTest, ProgrammingRunFrom921600) {
  StartAt(921600);
  module_.versionAfter[2] = 3;
  const RunOutcome r = Run(false);
  EXPECT_EQ(r.out,
            "AutoBaud: 921600 succeeded\n"
            "Current baud rate: 921600\n"
            "Successfully set baud rate to 115200 baud\n" +
                Wait(8) + "Current firmware version: V1.2.3\n" + kUpdateMode +
                Progress() + kSent + "Module Firmware successfully written.\n" +
                Wait(8) +
                "Post-update firmware version: V1.2.3\n"
                "Successfully reset baud rate to 921600 baud\n" +
                Success("10.0.0.5"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(RatesSet(r.log), (std::vector<int64_t>{115200, 921600}));
  EXPECT_TRUE(ClosedThenDestroyed(r.log));
  EXPECT_EQ(r.log->Count(Kind::kDestroyed), 1u);

  // Every slice went out once, in order, with the image's bytes and no test
  // flag.
  std::vector<std::vector<uint8_t>> slices;
  for (const auto& frame : r.log->SentFrames()) {
    if (frame.size() == 64 && frame[7] == 3) slices.push_back(frame);
  }
  ASSERT_EQ(slices.size(), 6400u);
  for (size_t i = 0; i < slices.size(); i += 1111) {
    EXPECT_EQ(AddressOf(slices[i]), 0x404000 + i * 32);
    EXPECT_EQ(slices[i][21], 0);
    EXPECT_TRUE(std::equal(slices[i].begin() + 25, slices[i].begin() + 57,
                           image_.begin() + static_cast<long>(i * 32)));
  }
  // Two waits of 8 x 1000 ms, the pause after the prepare request, no pause
  // between polls that answered.
  EXPECT_EQ(CountOf(r.log, Kind::kDelay, 1000), 16u);
  EXPECT_EQ(CountOf(r.log, Kind::kDelay, 500), 1u);
}

// Letter for letter, with no piece of the expected text taken from the
// program's own constants: a changed output line fails here even when every
// part that prints or reads it was changed alike.
TEST_F(UpdateSequenceTest, WholeTranscriptIsLetterForLetter) {
  StartAt(230400);
  module_.refusedAddress = 0x405000;
  module_.refusals = 1;
  const RunOutcome r = Run(false);
  std::string progress;
  for (uint32_t line = 0; line < 50; ++line) {
    if (line == 1) progress += "SendCodePacket 4214784 failed. Error: 03\n#";
    char marker[16];
    std::snprintf(marker, sizeof marker, "\n0X%08X ", 0x404000 + line * 4096);
    progress += marker + std::string(64, '*');
  }
  const std::string wait =
      "Resetting Module\n"
      "Waiting for re-initialization . . . . . . . . \n\n";
  EXPECT_EQ(r.out,
            "AutoBaud: 921600 succeeded\n"
            "Current baud rate: 230400\n"
            "Warning: Initial baud rate was not 921600.\n"
            "   The module baud rate will be reset to\n"
            "   921600 baud after firmware has been updated.\n\n"
            "Successfully set baud rate to 115200 baud\n" +
                wait +
                "Current firmware version: V1.2.3\n"
                "Entering InitiateFirmwareUpdate\n"
                "Waiting for module to reset & initialize\n"
                "Sending Update_EnterUpdateMode packet.\n"
                "  EnterUpdateMode got Status Packet\n"
                "Successfully Entered Update Mode\n" +
                progress +
                "\n\nAll code data successfully sent to module.\n"
                "Sending Update_Complete packet.\n"
                "Module Firmware successfully written.\n" +
                wait +
                "Post-update firmware version: V1.2.3\n"
                "Successfully reset baud rate to 921600 baud\n"
                "\nModule firmware for reader 10.0.0.5 has been successfully "
                "updated.\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(UpdateSequenceTest, QuietModeBracketsProbeWaitsAndUpdateModeRequest) {
  StartAt(921600);
  const RunOutcome r = Run(false);
  ASSERT_EQ(r.status, 0);
  // The quiet switches in order, and what each bracket encloses.
  std::string brackets;
  bool quiet = false;
  for (const FakeCall& call : r.log->calls) {
    if (call.kind == Kind::kSetQuietMode) {
      quiet = call.value != 0;
      brackets += quiet ? "[" : "]";
    } else if (quiet && call.kind == Kind::kSetLinkBaudRate) {
      brackets += "p";
    } else if (quiet && call.kind == Kind::kDelay) {
      brackets += call.value == 1000 ? "w" : "d";
    } else if (quiet && call.kind == Kind::kSend && call.value == 64) {
      brackets += "e";
    } else if (!quiet && call.kind == Kind::kDelay) {
      brackets += "!";
    }
  }
  EXPECT_EQ(brackets, "[p][wwwwwwww][de][wwwwwwww]");
}

TEST_F(UpdateSequenceTest, DryRunFrom115200KeepsTheRateAndIgnoresTheVersion) {
  StartAt(115200);
  module_.versionAfter[0] = 9;
  const RunOutcome r = Run(true);
  EXPECT_EQ(r.out,
            "AutoBaud: 921600 succeeded\n"
            "Current baud rate: 115200\n" +
                std::string(kWarning) + Wait(8) +
                "Current firmware version: V1.2.3\n" + kUpdateMode +
                Progress() + kSent + "Dry run (testMode = true) succeeded.\n" +
                Wait(8) +
                "Post-update firmware version: V9.2.3\n"
                "Successfully reset baud rate to 921600 baud\n" +
                Success("10.0.0.5"));
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(module_.sawTestFlag);
  EXPECT_EQ(RatesSet(r.log), (std::vector<int64_t>{921600}));
}

TEST_F(UpdateSequenceTest, VersionMismatchFailsAfterTheRateWasSet) {
  StartAt(230400);
  module_.versionAfter[2] = 4;
  const RunOutcome r = Run(false);
  const std::string tail =
      "Post-update firmware version: V1.2.4\n"
      "Successfully reset baud rate to 921600 baud\n"
      "OOPS. Something bad happened. The version number in the file (V1.2.3)\n"
      "      does not match the version retrieved from the reader (V1.2.4)\n";
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  EXPECT_NE(r.out.find(kWarning), std::string::npos);
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(RatesSet(r.log), (std::vector<int64_t>{115200, 921600}));
  EXPECT_TRUE(ClosedThenDestroyed(r.log));
}

// A module that never answers after the update was not shown to be
// programmed: whatever version it reported before, whatever the run kind and
// revision, the run fails after the final rate step.
TEST_F(UpdateSequenceTest, SilentModuleAfterUpdateIsNeverASuccess) {
  const std::string unconfirmed =
      "Post-update firmware version: unknown (the module did not answer)\n"
      "Successfully reset baud rate to 921600 baud\n"
      "\n"
      "Module firmware for reader 10.0.0.5 could not be confirmed: the module "
      "did not answer after the update.\n";
  for (const bool testMode : {false, true}) {
    for (const Revision revision : {Revision::kCurrent, Revision::kEarlier}) {
      SCOPED_TRACE(std::string(testMode ? "dry run, " : "programming, ") +
                   (revision == Revision::kEarlier ? "earlier" : "current"));
      Fresh(921600);
      module_.silentAfterUpdate = true;
      const RunOutcome r = Run(testMode, revision);
      const std::string tail = Wait(28) + unconfirmed;
      ASSERT_GE(r.out.size(), tail.size());
      EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
      EXPECT_EQ(r.out.find("OOPS"), std::string::npos);
      EXPECT_EQ(r.status, -1);
      EXPECT_EQ(RatesSet(r.log).back(), 921600);
      EXPECT_TRUE(ClosedThenDestroyed(r.log));
    }
  }
  // One late answer among the polls is enough to judge the run as before.
  Fresh(921600);
  for (int i = 4; i <= 22; ++i) module_.silentVersionReads.insert(i);
  const RunOutcome r = Run(false);
  EXPECT_NE(r.out.find(Wait(27) + "Post-update firmware version: V1.2.3\n"),
            std::string::npos);
  EXPECT_EQ(r.status, 0);
}

TEST_F(UpdateSequenceTest, RetriedSlicesShowHashesAndFiveFailuresEndTheRun) {
  StartAt(921600);
  module_.refusedAddress = 0x405000;
  module_.refusals = 4;
  RunOutcome r = Run(false);
  const std::string line = "SendCodePacket 4214784 failed. Error: 03\n";
  std::string refused;
  for (int i = 0; i < 4; ++i) refused += line + "#";
  EXPECT_NE(r.out.find(std::string(64, '*') + refused + "\n0X00405000 *"),
            std::string::npos);
  EXPECT_EQ(r.status, 0);

  // A fresh run in which the same slice is refused five times.
  Fresh(921600);
  module_.refusedAddress = 0x405000;
  module_.refusals = 5;
  r = Run(false);
  const std::string end = std::string(64, '*') + refused + line +
                          "SendCodePacket failed at buffer offset 4096 with 5 "
                          "retries\n";
  ASSERT_GE(r.out.size(), end.size());
  EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end);
  EXPECT_EQ(r.status, -1);
  EXPECT_TRUE(ClosedThenDestroyed(r.log));
}

TEST_F(UpdateSequenceTest, SilentFirstWaitShowsTwentyEightMarks) {
  StartAt(921600);
  for (int i = 2; i <= 22; ++i) module_.silentVersionReads.insert(i);
  const RunOutcome r = Run(false);
  EXPECT_EQ(r.out,
            "AutoBaud: 921600 succeeded\n"
            "Current baud rate: 921600\n"
            "Successfully set baud rate to 115200 baud\n" +
                Wait(28) + "Unable to retrieve firmware version\n");
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(CountOf(r.log, Kind::kDelay, 500), 20u);
  EXPECT_TRUE(DestroyedWithoutClose(r.log));
}

// A poll that went unanswered may still be answered late: before the next
// request that is not a poll, the line is left to settle, once per wait.
TEST_F(UpdateSequenceTest, MissedPollsLetTheLineSettleBeforeTheNextRequest) {
  StartAt(921600);
  module_.silentVersionReads = {2, 3};
  RunOutcome r = Run(false);
  EXPECT_EQ(r.status, 0);
  const std::string trace = r.log->Trace();
  const size_t settle = trace.find("DiscardLateAnswers");
  ASSERT_NE(settle, std::string::npos);
  EXPECT_EQ(trace.find("DiscardLateAnswers", settle + 1), std::string::npos);
  // Three polls (two missed, with their pauses), the settling, then the
  // version read.
  EXPECT_NE(trace.find("Send[16] Receive(64)! Delay(500) Send[16] "
                       "Receive(64)! Delay(500) Send[16] Receive(64) "
                       "DiscardLateAnswers SetQuietMode(off) Send[16]"),
            std::string::npos);

  Fresh(921600);  // every poll answered: nothing to settle
  r = Run(false);
  EXPECT_EQ(r.log->Count(Kind::kDiscardLateAnswers), 0u);
}

// Update answers name no request. When something in the transfer looked out
// of step, the line must then stay quiet: an answer arriving after the last
// one was read means one was read against the wrong request, and
// Update_Complete never goes out.
TEST_F(UpdateSequenceTest, TransferOutOfStepIsNeverCompleted) {
  StartAt(921600);
  RunOutcome r = Run(false);  // nothing odd: nothing waits
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.log->Count(Kind::kAwaitQuietLine), 0u);
  EXPECT_EQ(CountOf(r.log, Kind::kWatchPairing, 1), 1u);

  Fresh(921600);
  fake_->SetAnomalies({1, 0, 0});  // a time-out, then a quiet line
  r = Run(false);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.log->Count(Kind::kAwaitQuietLine), 1u);

  Fresh(921600);
  fake_->SetAnomalies({0, 0, 1});  // an early answer, then one more answer
  fake_->SetQuietLine(false);
  r = Run(false);
  const std::string end =
      std::string(64, '*') +
      "\nTransfer not confirmed: the module's answers fell out of step with "
      "the requests.\n";
  ASSERT_GE(r.out.size(), end.size());
  EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end);
  EXPECT_EQ(r.status, -1);
  EXPECT_TRUE(ClosedThenDestroyed(r.log));
  for (const auto& frame : r.log->SentFrames()) {
    EXPECT_FALSE(frame.size() == 64 && frame[7] == 4) << "Update_Complete sent";
  }
}

// Each row: what fails, the sequence's own last line, and whether the link
// is closed with CloseLink before the controller goes.
TEST_F(UpdateSequenceTest, EveryFailedStepEndsTheRunWithItsLine) {
  struct Row {
    const char* name;
    std::function<void(FakeUpdateComm&, ScriptedModule&)> script;
    std::string last;
    bool closed;
  };
  const std::vector<Row> rows = {
      {"no rate answers the probe",
       [](FakeUpdateComm&, ScriptedModule& m) {
         for (int i = 1; i <= 4; ++i) m.silentVersionReads.insert(i);
       },
       "AutoBaud: 460800 failed\nUnable to determine module's baud rate\n",
       false},
      {"rate not read",
       [](FakeUpdateComm& f, ScriptedModule&) {
         f.SetDefaultGetBaudRateResult({false, 0, ""});
       },
       "Unable to retrieve module baud rate\n", false},
      {"115200 refused",
       [](FakeUpdateComm& f, ScriptedModule&) {
         f.QueueSetBaudRateResult({false, ""});
       },
       "Unable to set module baud rate to 115200 baud\n", false},
      {"prepare request not sent",
       [](FakeUpdateComm& f, ScriptedModule&) {
         for (int i = 0; i < 3; ++i) f.QueueSendResult({true, ""});
         f.QueueSendResult({false, ""});
       },
       "Unable to put reader into the module firmware update mode\n", false},
      {"update mode refused",
       [](FakeUpdateComm&, ScriptedModule& m) { m.enterStatus = 0x41; },
       "Update_EnterUpdateMode returned an error response.\n", true},
      {"completion refused",
       [](FakeUpdateComm&, ScriptedModule& m) { m.completeStatus = 0x0A; },
       "ExitUpdateMode failed. Error: 0A\n"
       "Update_Complete returned an error response.\n",
       true},
      {"921600 refused",
       [](FakeUpdateComm& f, ScriptedModule&) {
         f.QueueSetBaudRateResult({true, ""});
         f.QueueSetBaudRateResult({false, ""});
       },
       "Post-update firmware version: V1.2.3\n"
       "Unable to set module baud rate to 921600 baud\n",
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Fresh(921600);
    row.script(*fake_, module_);
    const RunOutcome r = Run(false);
    ASSERT_GE(r.out.size(), row.last.size());
    EXPECT_EQ(r.out.substr(r.out.size() - row.last.size()), row.last);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(
        row.closed ? ClosedThenDestroyed(r.log) : DestroyedWithoutClose(r.log),
        true);
    EXPECT_EQ(r.log->Count(Kind::kDestroyed), 1u);
  }
}

TEST_F(UpdateSequenceTest, EarlierRevisionRestoresTheRateItFound) {
  StartAt(230400);
  const RunOutcome r = Run(false, Revision::kEarlier);
  EXPECT_EQ(r.out, std::string("Current baud rate: 230400\n") +
                       "Successfully set baud rate to 115200 baud\n"
                       "\n"
                       "Current firmware version: V1.2.3\n" +
                       kUpdateMode + Progress() + kSent +
                       "Module Firmware successfully written.\n" + Wait(8) +
                       "Post-update firmware version: V1.2.3\n"
                       "Successfully reset baud rate to 230400 baud\n" +
                       Success("10.0.0.5"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(RatesSet(r.log), (std::vector<int64_t>{115200, 230400}));
  EXPECT_EQ(r.log->Count(Kind::kSetLinkBaudRate), 0u);  // no probe
  EXPECT_EQ(CountOf(r.log, Kind::kDelay, 1000), 8u);    // one wait only
  EXPECT_TRUE(ClosedThenDestroyed(r.log));
}

TEST_F(UpdateSequenceTest, EarlierRevisionAt115200SetsNoRateAtAll) {
  StartAt(115200);
  const RunOutcome r = Run(true, Revision::kEarlier);
  EXPECT_EQ(r.out.substr(0, 28), "Current baud rate: 115200\n\nC");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(RatesSet(r.log).empty());
  EXPECT_TRUE(ClosedThenDestroyed(r.log));
}

TEST_F(UpdateSequenceTest, EarlierRevisionFailuresUseItsOwnLines) {
  StartAt(460800);
  fake_->QueueSetBaudRateResult({false, ""});
  RunOutcome r = Run(false, Revision::kEarlier);
  EXPECT_EQ(r.out,
            "Current baud rate: 460800\n"
            "Unable to set module baud rate to 115 baud\n");
  EXPECT_EQ(r.status, -1);

  Fresh(460800);
  fake_->QueueSetBaudRateResult({true, ""});
  fake_->QueueSetBaudRateResult({false, ""});
  r = Run(false, Revision::kEarlier);
  const std::string tail =
      "Post-update firmware version: V1.2.3\n"
      "Unable to set module baud rate to 460800 baud\n";
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  EXPECT_EQ(r.status, -1);
  EXPECT_TRUE(DestroyedWithoutClose(r.log));
}

}  // namespace
}  // namespace modflash::testing
