#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "protocol/crc16.h"
#include "protocol/update_controller.h"
#include "tests/support/capture.h"
#include "tests/support/fake_update_comm.h"

namespace modflash {
namespace {

using Bytes = std::vector<uint8_t>;

/// A controller on a fake link; the builders never touch the link.
UpdateController MakeController() {
  return UpdateController(std::make_unique<testing::FakeUpdateComm>());
}

Bytes SendArea(const UpdateController& controller) {
  return Bytes(controller.sendArea(),
               controller.sendArea() + controller.sendLength());
}

uint16_t StoredCrc(const uint8_t* text, uint16_t bytes) {
  return static_cast<uint16_t>(
      CalcCrc16(text, static_cast<uint16_t>(bytes * 8)) ^ 0xFFFF);
}

TEST(Crc16Test, CatalogueCheckValues) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(StoredCrc(abc, 3), 0xAEB5);
  EXPECT_EQ(StoredCrc(digits, 9), 0xD64E);
  EXPECT_EQ(CalcCrc16(abc, 0), 0xFFFF);
  // A count that ends inside a byte takes only that byte's leading bits.
  EXPECT_EQ(CalcCrc16(digits, 68), 0x8399);
  EXPECT_EQ(CalcCrc16(digits, 3), 0x9F3E);
}

TEST(FrameTest, ModuleCommandFrames) {
  UpdateController controller = MakeController();
  ASSERT_TRUE(controller.PrepModuleCommand(0x60, nullptr, 0));
  EXPECT_EQ(SendArea(controller), (Bytes{0x43, 0x49, 0x54, 0x4D, 0xFF, 0x60, 0,
                                         0, 0, 0, 0, 0, 0, 0, 0xD0, 0xF9}));

  ASSERT_TRUE(controller.PrepModuleCommand(0x55, nullptr, 0));
  Bytes prepare = SendArea(controller);
  ASSERT_EQ(prepare.size(), 16u);
  EXPECT_EQ(prepare[5], 0x55);
  EXPECT_EQ(prepare[14], 0x1E);
  EXPECT_EQ(prepare[15], 0x7A);
}

TEST(FrameTest, ModuleCommandData) {
  UpdateController controller = MakeController();
  const uint8_t data[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  ASSERT_TRUE(controller.PrepModuleCommand(0x60, nullptr, 0));
  const Bytes before(controller.sendArea(), controller.sendArea() + 64);

  // Nine data bytes do not fit: nothing changes, the length included.
  EXPECT_FALSE(controller.PrepModuleCommand(0x11, data, 9));
  EXPECT_EQ(Bytes(controller.sendArea(), controller.sendArea() + 64), before);
  EXPECT_EQ(controller.sendLength(), 16);

  // Eight fill offsets 6 to 13 exactly, and the CRC covers them.
  ASSERT_TRUE(controller.PrepModuleCommand(0x11, data, 8));
  const Bytes frame = SendArea(controller);
  EXPECT_EQ(Bytes(frame.begin() + 6, frame.begin() + 14),
            Bytes(data, data + 8));
  const uint16_t crc = StoredCrc(frame.data(), 14);
  EXPECT_EQ(frame[14], crc & 0xFF);
  EXPECT_EQ(frame[15], crc >> 8);
}

TEST(FrameTest, EnterAndCompletePackets) {
  UpdateController controller = MakeController();
  const uint8_t zeros[4] = {};
  ASSERT_TRUE(controller.PrepUpdatePacket(Update_EnterUpdateMode, zeros, 4));
  Bytes expected(64, 0);
  const Bytes head = {0x55, 0x49, 0x54, 0x4D, 0xFF, 0x0D,
                      0xF0, 0x02, 0x00, 0x01, 0x00};
  std::copy(head.begin(), head.end(), expected.begin());
  expected[62] = 0x66;
  expected[63] = 0x9D;
  EXPECT_EQ(SendArea(controller), expected);

  ASSERT_TRUE(controller.PrepUpdatePacket(Update_Complete, nullptr, 0));
  const Bytes complete = SendArea(controller);
  ASSERT_EQ(complete.size(), 64u);
  EXPECT_EQ(complete[7], 0x04);
  EXPECT_EQ(complete[9], 0x00);
  EXPECT_EQ(complete[10], 0x00);
  EXPECT_EQ(complete[62], 0x24);
  EXPECT_EQ(complete[63], 0xCC);
}

TEST(FrameTest, WordCountRoundsUp) {
  UpdateController controller = MakeController();
  const uint8_t payload[49] = {};
  const std::pair<uint32_t, uint8_t> cases[] = {
      {0, 0}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 2}, {44, 11}, {49, 13}};
  for (const auto& [length, words] : cases) {
    ASSERT_TRUE(controller.PrepUpdatePacket(Update_SendCode, payload, length));
    EXPECT_EQ(controller.sendArea()[9], words) << "length " << length;
    EXPECT_EQ(controller.sendArea()[10], 0) << "length " << length;
  }
}

TEST(FrameTest, SendCodePacketLayoutAndCrc) {
  // Built through SendCodePacket so that the payload layout is checked too.
  for (const bool testMode : {false, true}) {
    auto fake = std::make_unique<testing::FakeUpdateComm>();
    auto log = fake->log();
    UpdateController controller(std::move(fake));
    const uint8_t slice[32] = {};
    testing::StdoutCapture quiet;  // the unanswered packet's error line
    controller.SendCodePacket(kFlashBase, slice, 32, testMode);
    ASSERT_EQ(log->SentFrames().size(), 1u);
    const Bytes packet = log->SentFrames()[0];
    ASSERT_EQ(packet.size(), 64u);
    Bytes expected(64, 0);
    const Bytes head = {0x55, 0x49, 0x54, 0x4D, 0xFF, 0x0D, 0xF0, 0x03,
                        0x00, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x40, 0x40};
    std::copy(head.begin(), head.end(), expected.begin());
    expected[21] = testMode ? 1 : 0;
    expected[62] = testMode ? 0xE7 : 0x07;
    expected[63] = testMode ? 0x61 : 0xD9;
    EXPECT_EQ(packet, expected) << "test flag " << testMode;
  }
}

TEST(FrameTest, RebuiltPacketKeepsNothingOfThePrevious) {
  UpdateController controller = MakeController();
  uint8_t full[49];
  for (uint8_t i = 0; i < 49; ++i) full[i] = static_cast<uint8_t>(0xA0 + i);
  ASSERT_TRUE(controller.PrepUpdatePacket(Update_SendCode, full, 49));
  ASSERT_TRUE(controller.PrepUpdatePacket(Update_Complete, nullptr, 0));
  const Bytes packet = SendArea(controller);
  EXPECT_EQ(Bytes(packet.begin() + 11, packet.begin() + 62), Bytes(51, 0));

  // A command frame after a packet: 16 bytes go out, CRC over its own bytes.
  ASSERT_TRUE(controller.PrepModuleCommand(0x60, nullptr, 0));
  EXPECT_EQ(controller.sendLength(), 16);
  EXPECT_EQ(controller.sendArea()[14], 0xD0);
  EXPECT_EQ(controller.sendArea()[15], 0xF9);
}

TEST(FrameTest, OversizedPayloadIsRefused) {
  UpdateController controller = MakeController();
  const uint8_t payload[50] = {};
  ASSERT_TRUE(controller.PrepModuleCommand(0x60, nullptr, 0));
  EXPECT_FALSE(controller.PrepUpdatePacket(Update_SendCode, payload, 50));
  EXPECT_EQ(controller.sendLength(), 16);
  EXPECT_EQ(controller.sendArea()[5], 0x60);
}

}  // namespace
}  // namespace modflash
