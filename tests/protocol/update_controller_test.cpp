#include "protocol/update_controller.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "tests/support/cout_recorder.h"
#include "tests/support/fake_update_comm.h"

namespace modflash {
namespace {

using testing::CoutRecorder;
using testing::FakeLinkLog;
using testing::FakeUpdateComm;
using testing::VersionAnswer;
using Bytes = std::vector<uint8_t>;

const Bytes kVersionFrame = {0x43, 0x49, 0x54, 0x4D, 0xFF, 0x60, 0,    0,
                             0,    0,    0,    0,    0,    0,    0xD0, 0xF9};

/// A controller on a fake link that the test scripts through `fake` (owned
/// by the controller) and inspects through `log` (shared).
class ControllerTest : public ::testing::Test {
 protected:
  ControllerTest()
      : fake(new FakeUpdateComm),
        log(fake->log()),
        controller(std::in_place, std::unique_ptr<UpdateComm>(fake)) {}

  FakeUpdateComm* fake;
  std::shared_ptr<FakeLinkLog> log;
  std::optional<UpdateController> controller;
};

TEST_F(ControllerTest, GetFirmwareVersionReadsTheVersionBytes) {
  fake->QueueAnswer(VersionAnswer(0, 2, 0, 13));
  uint8_t major = 0, minor = 0, patch = 0;
  CoutRecorder out;
  EXPECT_TRUE(controller->GetFirmwareVersion(major, minor, patch));
  EXPECT_EQ(major, 2);
  EXPECT_EQ(minor, 0);
  EXPECT_EQ(patch, 13);
  EXPECT_EQ(out.Marked(), "");
  EXPECT_EQ(log->Trace(), "Send[16] Receive(64)");
  EXPECT_EQ(log->SentFrames()[0], kVersionFrame);
}

TEST_F(ControllerTest, GetFirmwareVersionRejectsBadAnswersSilently) {
  fake->QueueAnswer(VersionAnswer(0, 2, 0, 13, 15));
  fake->QueueAnswer(VersionAnswer(0, 2, 0, 13, 17));
  fake->QueueAnswer(VersionAnswer(1, 2, 0, 13));
  fake->QueueNoAnswer();
  uint8_t major = 7, minor = 8, patch = 9;
  CoutRecorder out;
  for (int i = 0; i < 4; ++i) {
    EXPECT_FALSE(controller->GetFirmwareVersion(major, minor, patch))
        << "answer " << i;
  }
  EXPECT_EQ(major, 7);
  EXPECT_EQ(minor, 8);
  EXPECT_EQ(patch, 9);
  EXPECT_EQ(out.Marked(), "");
  EXPECT_EQ(log->Count(testing::FakeCall::Kind::kReceive), 4u);
}

TEST_F(ControllerTest, FailedSendEndsCommandsBeforeAnyReceive) {
  fake->SetDefaultSendResult({false, "send failed\n"});
  fake->QueueAnswer(VersionAnswer(0, 2, 0, 13));
  uint8_t major = 7, minor = 8, patch = 9;
  CoutRecorder out;
  EXPECT_FALSE(controller->GetFirmwareVersion(major, minor, patch));
  EXPECT_FALSE(controller->InitiateFirmwareUpdate());
  EXPECT_EQ(major, 7);
  EXPECT_EQ(out.Text(),
            "send failed\nEntering InitiateFirmwareUpdate\nsend failed\n");
  EXPECT_EQ(log->Trace(), "Send[16]! Send[16]!");
}

TEST_F(ControllerTest, AutoBaudStopsAtTheFirstAnswer) {
  fake->QueueAnswer({0x01});
  CoutRecorder out;
  EXPECT_EQ(controller->AutoBaud(), 921600);
  EXPECT_EQ(out.Marked(), "AutoBaud: 921600 succeeded\n");
  EXPECT_EQ(log->Trace(), "SetLinkBaudRate(921600) Send[16] Receive(64)");
  EXPECT_EQ(log->SentFrames()[0], kVersionFrame);
}

TEST_F(ControllerTest, AutoBaudProbesAllFourRatesInOrder) {
  CoutRecorder out;
  EXPECT_EQ(controller->AutoBaud(), -1);
  EXPECT_EQ(out.Marked(),
            "AutoBaud: 921600 failed\n"
            "AutoBaud: 115200 failed\n"
            "AutoBaud: 230400 failed\n"
            "AutoBaud: 460800 failed\n");
  EXPECT_EQ(log->Trace(),
            "SetLinkBaudRate(921600) Send[16] Receive(64)! "
            "SetLinkBaudRate(115200) Send[16] Receive(64)! "
            "SetLinkBaudRate(230400) Send[16] Receive(64)! "
            "SetLinkBaudRate(460800) Send[16] Receive(64)!");
}

TEST_F(ControllerTest, AutoBaudIgnoresSendResultAndCountsAnyAnswer) {
  fake->QueueNoAnswer("", -1);
  fake->QueueNoAnswer();
  fake->QueueSendResult({false, ""});
  fake->QueueSendResult({true, ""});
  fake->QueueSendResult({false, ""});
  fake->QueueAnswer({'?'});
  CoutRecorder out;
  EXPECT_EQ(controller->AutoBaud(), 230400);
  EXPECT_EQ(out.Text(),
            "AutoBaud: 921600 failed\n"
            "AutoBaud: 115200 failed\n"
            "AutoBaud: 230400 succeeded\n");
}

TEST_F(ControllerTest, InitiateFirmwareUpdateNeedsNoAnswer) {
  CoutRecorder out;
  EXPECT_TRUE(controller->InitiateFirmwareUpdate());
  EXPECT_EQ(out.Marked(), "Entering InitiateFirmwareUpdate\n");
  EXPECT_EQ(log->Trace(), "Send[16] Receive(64)!");
  const Bytes frame = log->SentFrames()[0];
  EXPECT_EQ(frame[5], 0x55);
  EXPECT_EQ(frame[14], 0x1E);
  EXPECT_EQ(frame[15], 0x7A);
}

TEST_F(ControllerTest, PassThroughsReachTheLink) {
  fake->QueueGetBaudRateResult({true, 460800, ""});
  fake->QueueGetBaudRateResult({false, 0, "no rate\n"});
  fake->QueueSetBaudRateResult({false, "refused\n"});
  CoutRecorder out;
  int32_t rate = 1;
  EXPECT_TRUE(controller->GetBaudRate(rate));
  EXPECT_EQ(rate, 460800);
  EXPECT_FALSE(controller->GetBaudRate(rate));
  EXPECT_EQ(rate, 460800);
  EXPECT_FALSE(controller->SetBaudRate(115200));
  EXPECT_TRUE(controller->SetBaudRate(921600));
  controller->SetQuietMode(true);
  controller->Delay(500);
  controller->SetQuietMode(false);
  EXPECT_EQ(out.Text(), "no rate\nrefused\n");
  EXPECT_EQ(log->Trace(),
            "GetBaudRate GetBaudRate! SetBaudRate(115200)! SetBaudRate(921600) "
            "SetQuietMode(on) Delay(500) SetQuietMode(off)");
}

TEST_F(ControllerTest, DestructionDestroysTheLinkWithoutDisconnect) {
  controller.reset();
  EXPECT_TRUE(log->destroyed);
  EXPECT_EQ(log->Trace(), "Destroyed");
}

TEST_F(ControllerTest, EverythingAfterCloseLink) {
  controller->CloseLink();
  EXPECT_EQ(log->Trace(), "Disconnect Destroyed");
  EXPECT_FALSE(controller->hasLink());

  CoutRecorder out;
  uint8_t major = 7, minor = 8, patch = 9;
  int32_t rate = 3;
  const uint8_t slice[32] = {};
  EXPECT_FALSE(controller->GetFirmwareVersion(major, minor, patch));
  EXPECT_FALSE(controller->InitiateFirmwareUpdate());
  EXPECT_FALSE(controller->SetBaudRate(115200));
  EXPECT_FALSE(controller->GetBaudRate(rate));
  EXPECT_EQ(controller->AutoBaud(), -1);
  controller->Delay(1000);
  controller->SetQuietMode(true);
  EXPECT_FALSE(controller->EnterUpdateMode());
  EXPECT_FALSE(controller->SendCodePacket(kFlashBase, slice, 32, false));
  EXPECT_FALSE(controller->ExitUpdateMode(false));
  controller->CloseLink();
  controller.reset();

  EXPECT_EQ(out.Marked(),
            "GetFirmwareVersion failed: UpdateComm object not created.\n"
            "Entering InitiateFirmwareUpdate\n"
            "InitiateFirwareUpdate failed: UpdateComm object not created.\n"
            "SetBaudRate failed: UpdateComm object not created.\n");
  EXPECT_EQ(rate, 3);
  EXPECT_EQ(major, 7);
  // Nothing reached the destroyed link, and it was destroyed only once.
  EXPECT_EQ(log->Trace(), "Disconnect Destroyed");
}

}  // namespace
}  // namespace modflash
