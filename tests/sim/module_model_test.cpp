#include "tools/readersim/module_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/sim/sim_client.h"

namespace modflash::sim {
namespace {

using testing::CommandFrame;
using testing::SendCodePacket;
using testing::UpdatePacket;

constexpr uint32_t kBase = 0x404000;

class ModuleModelTest : public ::testing::Test {
 protected:
  static SimOptions MakeOptions() {
    SimOptions options;
    options.version = Version{2, 0, 13};
    options.prepareRestartMs = 100;
    options.completeRestartMs = 300;
    return options;
  }

  std::vector<Bytes> Handle(const Bytes& frame) {
    why_.clear();
    return module_.Handle(frame.data(), frame.size(), now_, why_);
  }
  void Advance(int ms) { now_ += std::chrono::milliseconds(ms); }

  // Prepares, waits out the restart and enters update mode.
  void EnterUpdateMode() {
    ASSERT_EQ(Handle(CommandFrame(0x55)).size(), 1u);
    Advance(static_cast<int>(options_.prepareRestartMs));
    const std::vector<Bytes> answers = Handle(UpdatePacket(2, {0, 0, 0, 0}));
    ASSERT_FALSE(answers.empty()) << why_;
    ASSERT_EQ(answers.back()[17], 0x0E);
  }

  uint8_t Status(const std::vector<Bytes>& answers) {
    EXPECT_EQ(answers.size(), 1u) << why_;
    if (answers.size() != 1 || answers[0].size() < 18) return 0xEE;
    EXPECT_EQ(answers[0][0], 'S');
    return answers[0][17];
  }

  SimOptions options_ = MakeOptions();
  ModuleModel module_{options_};
  Clock::time_point now_ = Clock::now();
  std::string why_;
};

TEST_F(ModuleModelTest, FirmwareAnswersVersionAndPrepare) {
  std::vector<Bytes> answers = Handle(CommandFrame(0x60));
  ASSERT_EQ(answers.size(), 1u);
  const Bytes& a = answers[0];
  ASSERT_EQ(a.size(), 16u);
  EXPECT_EQ((Bytes{a.begin(), a.begin() + 10}),
            (Bytes{0x43, 0x49, 0x54, 0x4D, 0xFF, 0x60, 0, 2, 0, 13}));
  EXPECT_TRUE(CrcMatches(a.data(), 14));

  EXPECT_EQ(Handle(CommandFrame(0x42)).at(0)[6], 1);  // unknown command

  answers = Handle(CommandFrame(0x55));
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0][5], 0x55);
  EXPECT_EQ(module_.mode(), ModuleMode::kLoader);
  // Silent while it restarts into the loader.
  Advance(50);
  EXPECT_TRUE(Handle(UpdatePacket(2, {0, 0, 0, 0})).empty());
  EXPECT_NE(why_.find("restarting"), std::string::npos) << why_;
  EXPECT_EQ(module_.stats().updatePackets, 0u);
}

TEST_F(ModuleModelTest, RefusesMalformedFramesAndPackets) {
  Bytes frame = CommandFrame(0x60);
  frame[14] ^= 0xFF;
  EXPECT_TRUE(Handle(frame).empty());
  EXPECT_NE(why_.find("CRC"), std::string::npos);
  frame = CommandFrame(0x60);
  frame[0] = 'X';
  EXPECT_TRUE(Handle(frame).empty());
  EXPECT_TRUE(Handle(Bytes(20, 0)).empty());
  EXPECT_NE(why_.find("20 bytes"), std::string::npos);
  // The normal firmware does not take update packets.
  EXPECT_TRUE(Handle(UpdatePacket(2, {0, 0, 0, 0})).empty());
  EXPECT_NE(why_.find("normal firmware"), std::string::npos);

  EnterUpdateMode();
  const uint8_t slice[32] = {};
  Bytes packet = SendCodePacket(kBase, slice, false);
  packet[9] = 10;  // word count
  packet[62] = 0;
  packet[63] = 0;
  StoreCrc(packet.data(), 62);
  EXPECT_TRUE(Handle(packet).empty());
  EXPECT_NE(why_.find("word count 10, expected 11"), std::string::npos) << why_;
  packet = SendCodePacket(kBase, slice, false);
  packet[63] ^= 1;
  EXPECT_TRUE(Handle(packet).empty());
  EXPECT_NE(why_.find("CRC"), std::string::npos);
  packet = UpdatePacket(7, {});
  EXPECT_TRUE(Handle(packet).empty());
  EXPECT_NE(why_.find("unknown update packet type 7"), std::string::npos);
  // The loader does not take command frames.
  EXPECT_TRUE(Handle(CommandFrame(0x60)).empty());
  EXPECT_EQ(module_.stats().updatePackets, 1u);
}

TEST_F(ModuleModelTest, WritesCodeCompletesAndReportsTheNewVersion) {
  EnterUpdateMode();
  Bytes slice(32);
  for (size_t i = 0; i < 32; ++i) slice[i] = static_cast<uint8_t>(i + 1);
  EXPECT_EQ(Status(Handle(SendCodePacket(kBase + 64, slice.data(), false))), 0);
  EXPECT_EQ(Bytes(module_.flash().begin() + 64, module_.flash().begin() + 96),
            slice);
  // The version bytes live in the last slice.
  Bytes last(32, 0);
  last[29] = 3;  // patch at 204765
  last[30] = 2;
  last[31] = 1;
  EXPECT_EQ(Status(Handle(SendCodePacket(kBase + 204736, last.data(), false))),
            0);
  EXPECT_EQ(Status(Handle(SendCodePacket(kBase + 204736, last.data(), false))),
            0);
  EXPECT_EQ(module_.stats().retries, 1u);
  EXPECT_EQ(module_.stats().bytesWritten, 96u);
  // Outside the flash.
  EXPECT_EQ(Status(Handle(SendCodePacket(kBase + 204800, last.data(), false))),
            kStatusBadAddress);
  EXPECT_EQ(Status(Handle(SendCodePacket(kBase - 32, last.data(), false))),
            kStatusBadAddress);

  EXPECT_EQ(Status(Handle(UpdatePacket(4, {}))), 0x09);
  EXPECT_EQ(module_.mode(), ModuleMode::kFirmware);
  EXPECT_TRUE(Handle(CommandFrame(0x60)).empty());  // restarting
  Advance(static_cast<int>(options_.completeRestartMs));
  const std::vector<Bytes> answers = Handle(CommandFrame(0x60));
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0][7], 1);
  EXPECT_EQ(answers[0][8], 2);
  EXPECT_EQ(answers[0][9], 3);
}

TEST_F(ModuleModelTest, DryRunLeavesFlashAndCompletesWith0A) {
  const Bytes before = module_.flash();
  EnterUpdateMode();
  const Bytes slice(32, 0x5A);
  EXPECT_EQ(Status(Handle(SendCodePacket(kBase, slice.data(), true))), 0);
  EXPECT_EQ(Status(Handle(UpdatePacket(4, {}))), 0x0A);
  EXPECT_EQ(module_.flash(), before);
  EXPECT_EQ(module_.stats().bytesWritten, 0u);
}

TEST_F(ModuleModelTest, CodeBeforeEnteringUpdateModeIsRefusedWithAStatus) {
  ASSERT_EQ(Handle(CommandFrame(0x55)).size(), 1u);
  Advance(200);
  const Bytes slice(32, 0);
  EXPECT_EQ(Status(Handle(SendCodePacket(kBase, slice.data(), false))),
            kStatusNotInUpdateMode);
  EXPECT_EQ(Status(Handle(UpdatePacket(4, {}))), kStatusNotInUpdateMode);
}

TEST_F(ModuleModelTest, RateChangeRestartsTheFirmwareAndResetKeepsFlash) {
  EnterUpdateMode();
  const Bytes slice(32, 0x11);
  EXPECT_EQ(Status(Handle(SendCodePacket(kBase, slice.data(), false))), 0);
  module_.ChangeRate(115200);
  EXPECT_EQ(module_.rate(), 115200);
  EXPECT_EQ(module_.mode(), ModuleMode::kFirmware);
  module_.Reset();
  EXPECT_EQ(module_.stats().bytesWritten, 0u);
  EXPECT_EQ(module_.flash()[0], 0x11);
  EXPECT_EQ(module_.rate(), 115200);
}

}  // namespace
}  // namespace modflash::sim
