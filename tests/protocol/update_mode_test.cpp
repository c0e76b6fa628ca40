#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/update_controller.h"
#include "tests/support/cout_recorder.h"
#include "tests/support/fake_update_comm.h"

namespace modflash {
namespace {

using testing::CoutRecorder;
using testing::FakeLinkLog;
using testing::FakeUpdateComm;
using testing::StatusAnswer;
using testing::UpdateAnswer;
using Bytes = std::vector<uint8_t>;

class UpdateModeTest : public ::testing::Test {
 protected:
  UpdateModeTest()
      : fake(new FakeUpdateComm),
        log(fake->log()),
        controller(std::unique_ptr<UpdateComm>(fake)) {
    for (uint8_t i = 0; i < 32; ++i) slice[i] = static_cast<uint8_t>(0x80 + i);
  }

  FakeUpdateComm* fake;
  std::shared_ptr<FakeLinkLog> log;
  UpdateController controller;
  uint8_t slice[32];
};

TEST_F(UpdateModeTest, EnterReadsBeginCfgAndEndBeforeStatus) {
  fake->QueueAnswer(UpdateAnswer('B', 0));
  fake->QueueAnswer(UpdateAnswer('F', 0));
  fake->QueueAnswer(UpdateAnswer('E', 0));
  fake->QueueAnswer(StatusAnswer(0x0E));
  CoutRecorder out;
  EXPECT_TRUE(controller.EnterUpdateMode());
  EXPECT_EQ(out.Marked(),
            "  EnterUpdateMode got Begin Packet\n<flush>"
            "  EnterUpdateMode got FirmwareUpdateCfg Packet\n<flush>"
            "  EnterUpdateMode got End Packet\n<flush>"
            "  EnterUpdateMode got Status Packet\n<flush>"
            "Successfully Entered Update Mode\n<flush>");
  EXPECT_EQ(log->Trace(),
            "Send[64] Receive(64) Receive(64) Receive(64) Receive(64)");
  const Bytes packet = log->SentFrames()[0];
  EXPECT_EQ(packet[7], Update_EnterUpdateMode);
  EXPECT_EQ(packet[62], 0x66);
  EXPECT_EQ(packet[63], 0x9D);
}

TEST_F(UpdateModeTest, EnterNeedsOnlyTheStatus) {
  fake->QueueAnswer(StatusAnswer(0x0E));
  CoutRecorder out;
  EXPECT_TRUE(controller.EnterUpdateMode());
  EXPECT_EQ(out.Marked(),
            "  EnterUpdateMode got Status Packet\n<flush>"
            "Successfully Entered Update Mode\n<flush>");
}

TEST_F(UpdateModeTest, EnterFailsOnUnknownTypeAndFailingStatus) {
  fake->QueueAnswer(UpdateAnswer('X', 0x0E));
  fake->QueueAnswer(UpdateAnswer('B', 0));
  fake->QueueAnswer(StatusAnswer(0x41));
  CoutRecorder out;
  EXPECT_FALSE(controller.EnterUpdateMode());
  EXPECT_FALSE(controller.EnterUpdateMode());
  EXPECT_EQ(out.Marked(),
            "Unexpected response reading packet in EnterUpdateModeX\n<flush>"
            "  EnterUpdateMode got Begin Packet\n<flush>"
            "  EnterUpdateMode got Status Packet\n<flush>"
            "Failed to enter Update Mode correctly. Error: A\n<flush>");
}

TEST_F(UpdateModeTest, SendCodePacketJudgesTheStatus) {
  fake->QueueAnswer(StatusAnswer(0x00));
  fake->QueueAnswer(StatusAnswer(0x03));
  fake->QueueAnswer(UpdateAnswer('B', 0x00));
  fake->QueueAnswer(UpdateAnswer('E', 0x5A));
  CoutRecorder out;
  EXPECT_TRUE(controller.SendCodePacket(kFlashBase + 32, slice, 32, false));
  EXPECT_FALSE(controller.SendCodePacket(kFlashBase, slice, 32, false));
  EXPECT_FALSE(controller.SendCodePacket(kFlashBase, slice, 32, false));
  EXPECT_FALSE(controller.SendCodePacket(kFlashBase, slice, 32, false));
  EXPECT_EQ(out.Marked(),
            "SendCodePacket 4210688 failed. Error: 03\n<flush>"
            "SendCodePacket unexpected response: 00\n"
            "SendCodePacket unexpected response: 5A\n");
  EXPECT_EQ(log->Count(testing::FakeCall::Kind::kReceive), 4u);

  const Bytes packet = log->SentFrames()[0];
  EXPECT_EQ(packet[7], Update_SendCode);
  EXPECT_EQ(packet[9], 11);
  EXPECT_EQ(Bytes(packet.begin() + 13, packet.begin() + 17),
            (Bytes{0x20, 0x40, 0x40, 0x00}));
  EXPECT_EQ(Bytes(packet.begin() + 25, packet.begin() + 57),
            Bytes(slice, slice + 32));
}

TEST_F(UpdateModeTest, SendCodePacketSliceLengths) {
  CoutRecorder out;
  EXPECT_FALSE(controller.SendCodePacket(kFlashBase, slice, 33, true));
  EXPECT_EQ(log->Trace(), "");
  EXPECT_EQ(out.Text(), "");

  // A short slice shortens the payload; the rest of the packet stays zero.
  fake->QueueAnswer(StatusAnswer(0x00));
  EXPECT_TRUE(controller.SendCodePacket(0x12345678, slice, 5, true));
  const Bytes packet = log->SentFrames().at(0);
  EXPECT_EQ(packet[9], 5);  // 17 payload bytes
  EXPECT_EQ(Bytes(packet.begin() + 13, packet.begin() + 17),
            (Bytes{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(packet[21], 1);
  EXPECT_EQ(Bytes(packet.begin() + 25, packet.begin() + 30),
            Bytes(slice, slice + 5));
  EXPECT_EQ(Bytes(packet.begin() + 30, packet.begin() + 62), Bytes(32, 0));
}

TEST_F(UpdateModeTest, ExitExpectsTheStatusOfItsMode) {
  fake->QueueAnswer(StatusAnswer(0x09));
  fake->QueueAnswer(StatusAnswer(0x0A));
  fake->QueueAnswer(StatusAnswer(0x0A));
  fake->QueueAnswer(StatusAnswer(0x09));
  CoutRecorder out;
  EXPECT_TRUE(controller.ExitUpdateMode(false));
  EXPECT_TRUE(controller.ExitUpdateMode(true));
  EXPECT_FALSE(controller.ExitUpdateMode(false));
  EXPECT_FALSE(controller.ExitUpdateMode(true));
  EXPECT_EQ(out.Marked(),
            "ExitUpdateMode failed. Error: 0A\n<flush>"
            "ExitUpdateMode failed. Error: 09\n<flush>");
  const Bytes packet = log->SentFrames()[0];
  EXPECT_EQ(packet[7], Update_Complete);
  EXPECT_EQ(packet[62], 0x24);
  EXPECT_EQ(packet[63], 0xCC);
}

TEST_F(UpdateModeTest, ExitWithStatusZeroOrAnotherType) {
  fake->QueueAnswer(StatusAnswer(0x00));
  fake->QueueAnswer(UpdateAnswer('F', 0x0A));
  CoutRecorder out;
  EXPECT_FALSE(controller.ExitUpdateMode(true));
  EXPECT_FALSE(controller.ExitUpdateMode(true));
  std::string groups;
  for (int i = 0; i < 20; ++i) groups += " 00";
  EXPECT_EQ(out.Marked(), "ExitUpdateMode failed. Error:" + groups +
                              "\n<flush>"
                              "ExitUpdateMode unexpected response: 0A\n");
}

TEST_F(UpdateModeTest, FailedReceiveEndsEachExchange) {
  fake->QueueAnswer(UpdateAnswer('B', 0));
  fake->QueueNoAnswer("no answer\n");
  fake->QueueNoAnswer("no answer\n", -1);
  fake->QueueNoAnswer("no answer\n");
  fake->QueueAnswer(StatusAnswer(0x0E));  // must stay unread
  CoutRecorder out;
  EXPECT_FALSE(controller.EnterUpdateMode());
  EXPECT_FALSE(controller.SendCodePacket(kFlashBase, slice, 32, false));
  EXPECT_FALSE(controller.ExitUpdateMode(false));
  EXPECT_EQ(out.Marked(),
            "  EnterUpdateMode got Begin Packet\n<flush>"
            "no answer\nError reading packet in EnterUpdateMode\n<flush>"
            "no answer\nError reading packet in SendCodePacket\n<flush>"
            "no answer\nError reading packet in ExitUpdateMode\n<flush>");
  EXPECT_EQ(log->Trace(),
            "Send[64] Receive(64) Receive(64)! Send[64] Receive(64)! "
            "DiscardLateAnswers Send[64] Receive(64)!");
  EXPECT_EQ(fake->PendingAnswers(), 1u);
}

// A module that answers the update-mode request endlessly, but never with a
// Status, is given up on after 32 answers or once the time limit is spent.
TEST_F(UpdateModeTest, EnterGivesUpWithoutAStatus) {
  const uint8_t types[3] = {'B', 'F', 'E'};
  int answers = 0;
  fake->SetResponder([&](const Bytes&) {
    return testing::FakeAnswer::Of(UpdateAnswer(types[answers++ % 3], 0));
  });
  {
    CoutRecorder out;
    EXPECT_FALSE(controller.EnterUpdateMode());
    const std::string printed = out.Marked();
    EXPECT_EQ(answers, 32);
    const std::string last =
        "  EnterUpdateMode got FirmwareUpdateCfg Packet\n<flush>"
        "EnterUpdateMode gave up: 32 answers without a Status packet\n<flush>";
    ASSERT_GE(printed.size(), last.size());
    EXPECT_EQ(printed.substr(printed.size() - last.size()), last);
  }

  // Slow answers: the time limit ends the exchange before the count does.
  answers = 0;
  fake->SetResponder([&](const Bytes&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ++answers;
    return testing::FakeAnswer::Of(UpdateAnswer('B', 0));
  });
  controller.SetEntryTimeLimit(std::chrono::milliseconds(1000));
  CoutRecorder out;
  EXPECT_FALSE(controller.EnterUpdateMode());
  EXPECT_GE(answers, 1);
  EXPECT_LT(answers, 32);
  const std::string printed = out.Marked();
  const std::string last =
      "EnterUpdateMode gave up: no Status packet within 1 s\n<flush>";
  ASSERT_GE(printed.size(), last.size());
  EXPECT_EQ(printed.substr(printed.size() - last.size()), last);
}

TEST_F(UpdateModeTest, FailedSendEndsEachExchangeQuietly) {
  fake->SetDefaultSendResult({false, "link down\n"});
  fake->QueueAnswer(StatusAnswer(0x0E));
  CoutRecorder out;
  EXPECT_FALSE(controller.EnterUpdateMode());
  EXPECT_FALSE(controller.SendCodePacket(kFlashBase, slice, 32, false));
  EXPECT_FALSE(controller.ExitUpdateMode(false));
  EXPECT_EQ(out.Text(), "link down\nlink down\nlink down\n");
  EXPECT_EQ(log->Count(testing::FakeCall::Kind::kReceive), 0u);
}

// A Status answer too short to reach the status byte must not be judged by
// what an earlier answer left in the answer area.
TEST_F(UpdateModeTest, ShortStatusAnswersFail) {
  fake->QueueAnswer(StatusAnswer(0x0E));
  fake->QueueAnswer(UpdateAnswer('S', 0x0E, 17));
  fake->QueueAnswer(StatusAnswer(0x00));
  fake->QueueAnswer(UpdateAnswer('S', 0x00, 5));
  fake->QueueAnswer(StatusAnswer(0x09));
  fake->QueueAnswer(UpdateAnswer('S', 0x09, 1));
  {
    CoutRecorder quiet;
    ASSERT_TRUE(controller.EnterUpdateMode());
  }
  CoutRecorder out;
  EXPECT_FALSE(controller.EnterUpdateMode());
  ASSERT_TRUE(controller.SendCodePacket(kFlashBase, slice, 32, false));
  EXPECT_FALSE(controller.SendCodePacket(kFlashBase + 32, slice, 32, false));
  ASSERT_TRUE(controller.ExitUpdateMode(false));
  EXPECT_FALSE(controller.ExitUpdateMode(false));
  EXPECT_EQ(out.Marked(),
            "Status packet too short in EnterUpdateMode: 17 bytes\n<flush>"
            "Status packet too short in SendCodePacket: 5 bytes\n<flush>"
            "Status packet too short in ExitUpdateMode: 1 bytes\n<flush>");
}

// Many slices answered by a responder, as the update sequence will use it.
TEST_F(UpdateModeTest, ResponderAnswersPerPacket) {
  fake->SetResponder([](const Bytes& sent) {
    // Refuse the slice for address 0x404040, accept every other.
    const bool refuse = sent.size() == 64 && sent[13] == 0x40 &&
                        sent[14] == 0x40 && sent[15] == 0x40;
    return testing::FakeAnswer::Of(StatusAnswer(refuse ? 0x07 : 0x00));
  });
  CoutRecorder out;
  int accepted = 0;
  for (uint32_t offset = 0; offset < 32 * 100; offset += 32) {
    if (controller.SendCodePacket(kFlashBase + offset, slice, 32, false)) {
      ++accepted;
    }
  }
  EXPECT_EQ(accepted, 99);
  EXPECT_EQ(out.Text(), "SendCodePacket 4210752 failed. Error: 07\n");
}

}  // namespace
}  // namespace modflash
