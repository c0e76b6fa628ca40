// The controller over the real Ethernet link, against a scripted reader on
// the loopback interface: what goes over the wire, byte for byte.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/ethernet_update_comm.h"
#include "protocol/update_controller.h"
#include "tests/support/capture.h"
#include "tests/support/fake_reader.h"
#include "tests/support/fake_update_comm.h"

namespace modflash {
namespace {

using testing::ReaderMessage;
using testing::StatusAnswer;
using testing::UpdateAnswer;
using Bytes = std::vector<uint8_t>;

/// An update packet written out from its known fields and CRC bytes.
Bytes Packet(uint8_t type, uint8_t words, const Bytes& payload, uint8_t crcLow,
             uint8_t crcHigh) {
  Bytes packet = {0x55, 0x49, 0x54,  0x4D, 0xFF, 0x0D, 0xF0,
                  type, 0x00, words, 0x00, 0x00, 0x00};
  // Sized first, then filled: appending to a vector initialised from a list
  // trips GCC 12's -Warray-bounds at -O3. No payload here exceeds 49 bytes.
  packet.resize(62, 0x00);
  std::copy(payload.begin(), payload.end(), packet.begin() + 13);
  packet.push_back(crcLow);
  packet.push_back(crcHigh);
  return packet;
}

TEST(EthernetControllerTest, VersionReadAndShortUpdateOnTheWire) {
  testing::FakeReaderScript script;
  Bytes updateAnswers = ReaderMessage(0xFA, UpdateAnswer('B', 0x00));
  const Bytes status = ReaderMessage(0xFA, StatusAnswer(0x0E));
  updateAnswers.insert(updateAnswers.end(), status.begin(), status.end());
  script.AwaitMessage()
      .Reply(ReaderMessage(0xFA, testing::VersionAnswer(0, 2, 0, 13)))
      .AwaitMessage()
      .Reply(updateAnswers)  // two answers in one write
      .AwaitMessage()
      .Reply(ReaderMessage(0xFA, StatusAnswer(0x00)))
      .AwaitMessage()
      .Reply(ReaderMessage(0xFA, StatusAnswer(0x0A)));
  testing::FakeReader reader(script);
  ASSERT_NE(reader.port(), 0);

  testing::StdoutCapture out;
  uint8_t major = 0, minor = 0, patch = 0;
  const uint8_t slice[32] = {};
  {
    UpdateController controller(
        std::make_unique<EthernetUpdateComm>("127.0.0.1", reader.port()));
    EXPECT_TRUE(controller.GetFirmwareVersion(major, minor, patch));
    EXPECT_TRUE(controller.EnterUpdateMode());
    EXPECT_TRUE(controller.SendCodePacket(kFlashBase, slice, 32, true));
    EXPECT_TRUE(controller.ExitUpdateMode(true));
    controller.CloseLink();
  }
  const Bytes wire = reader.Finish();
  EXPECT_TRUE(reader.completed());
  EXPECT_EQ(out.Take(),
            "Connected to reader.\n\n"
            "  EnterUpdateMode got Begin Packet\n"
            "  EnterUpdateMode got Status Packet\n"
            "Successfully Entered Update Mode\n");
  EXPECT_EQ(major, 2);
  EXPECT_EQ(minor, 0);
  EXPECT_EQ(patch, 13);

  Bytes expected = {0xB9, 0x9B, 0x00, 0x18, 0xFA, 0x43, 0x49, 0x54,
                    0x4D, 0xFF, 0x60, 0x00, 0x00, 0x00, 0x00, 0x00,
                    0x00, 0x00, 0x00, 0xD0, 0xF9, 0x47, 0x0D, 0x0A};
  const Bytes sendCodePayload = {0x00, 0x40, 0x40, 0x00, 0, 0, 0, 0, 0x01};
  for (const Bytes& packet :
       {Packet(Update_EnterUpdateMode, 1, {0, 0, 0, 0}, 0x66, 0x9D),
        Packet(Update_SendCode, 11, sendCodePayload, 0xE7, 0x61),
        Packet(Update_Complete, 0, {}, 0x24, 0xCC)}) {
    const Bytes message = ReaderMessage(0xFA, packet);
    ASSERT_EQ(message.size(), 72u);
    expected.insert(expected.end(), message.begin(), message.end());
  }
  EXPECT_EQ(wire, expected);
}

}  // namespace
}  // namespace modflash
