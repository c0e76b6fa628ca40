// The controller's module commands and update-mode exchange through the
// recording fake link: every answer comes from the input.
//
// Input: items in order. A byte below 0x80 queues an answer of that many
// bytes (taken from the input; 0x7F queues "no answer"); a byte from 0x80
// up runs one operation (its low three bits) with the next byte as argument.

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>
#include <sstream>

#include "fuzz/fuzz_check.h"
#include "protocol/update_controller.h"
#include "tests/support/fake_update_comm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using modflash::testing::FakeUpdateComm;
  modflash::fuzz::InputReader in(data, size);
  auto fake = std::make_unique<FakeUpdateComm>();
  FakeUpdateComm& link = *fake;
  const auto log = fake->log();
  std::ostringstream out;
  std::streambuf* saved = std::cout.rdbuf(out.rdbuf());
  {
    modflash::UpdateController controller(std::move(fake));
    uint8_t slice[40] = {};
    while (!in.empty()) {
      const uint8_t item = in.Byte();
      if (item == 0x7F) {
        link.QueueNoAnswer();
        continue;
      }
      if (item < 0x80) {
        size_t got = 0;
        const uint8_t* bytes = in.Bytes(item, got);
        link.QueueAnswer(std::vector<uint8_t>(bytes, bytes + got));
        continue;
      }
      const uint8_t arg = in.Byte();
      const size_t answersBefore = link.PendingAnswers();
      switch (item & 7) {
        case 0: {
          uint8_t major = 1, minor = 2, patch = 3;
          if (!controller.GetFirmwareVersion(major, minor, patch)) {
            FUZZ_CHECK(major == 1 && minor == 2 && patch == 3,
                       "a failed version read writes nothing");
          }
          break;
        }
        case 1: {
          const int32_t rate = controller.AutoBaud();
          FUZZ_CHECK(rate == -1 || rate == 921600 || rate == 115200 ||
                         rate == 230400 || rate == 460800,
                     "AutoBaud answers a candidate rate or -1");
          break;
        }
        case 2:
          controller.EnterUpdateMode();
          break;
        case 3: {
          const uint32_t length = arg % 41u;
          const bool ok = controller.SendCodePacket(
              modflash::kFlashBase + 32u * arg, slice, length, (arg & 1) != 0);
          FUZZ_CHECK(!ok || length <= 32, "no slice longer than 32 is sent");
          break;
        }
        case 4:
          controller.ExitUpdateMode((arg & 1) != 0);
          break;
        default:
          controller.InitiateFirmwareUpdate();
          break;
      }
      FUZZ_CHECK(link.PendingAnswers() <= answersBefore,
                 "answers are only ever taken");
      FUZZ_CHECK(controller.sendLength() == 16 ||
                     controller.sendLength() == 64 ||
                     controller.sendLength() == 0,
                 "frames are 16 or 64 bytes");
    }
  }
  std::cout.rdbuf(saved);
  FUZZ_CHECK(log->destroyed, "the controller destroys its link");
  return 0;
}
