// The reader link's receive path: the input is the reader's byte stream,
// answer by answer, driving Receive, GetBaudRate and SetBaudRate.
//
// Input: a flags byte (bit 0: the reader times out instead of closing once
// the script is used up), a count of read sizes and the sizes, then
// operations: an op byte and the answer chunk the reader sends after the
// op's request, as a length byte and that many bytes.

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <vector>

#include "fuzz/fake_socket_layer.h"
#include "fuzz/fuzz_check.h"
#include "link/ethernet_update_comm.h"

namespace {

constexpr int32_t kRates[] = {115200, 230400, 460800, 921600, 57600};
constexpr uint8_t kModuleFrame[16] = {0x43, 0x49, 0x54, 0x4D, 0xFF, 0x60};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using modflash::fuzz::InputReader;
  modflash::fuzz::FakePeer& peer = modflash::fuzz::Peer();
  peer.Reset();
  InputReader in(data, size);
  peer.closeAtEnd = (in.Byte() & 1) == 0;
  size_t got = 0;
  const uint8_t* sizes = in.Bytes(in.Byte() % 16, got);
  peer.readSizes.assign(sizes, sizes + got);
  std::vector<uint8_t> ops;
  while (!in.empty()) {
    ops.push_back(in.Byte());
    const uint8_t* chunk = in.Bytes(in.Byte(), got);
    peer.chunks.emplace_back(chunk, chunk + got);
  }

  std::ostringstream out;
  std::streambuf* saved = std::cout.rdbuf(out.rdbuf());
  {
    modflash::EthernetUpdateComm link("127.0.0.1", 5000);
    for (const uint8_t op : ops) {
      switch (op % 3) {
        case 0: {
          // An answer area of exactly the capacity, so that any write past
          // it is caught.
          const int32_t capacity = op >> 2;
          std::vector<uint8_t> area(static_cast<size_t>(capacity));
          link.Send(kModuleFrame, 16);
          const int32_t n = link.Receive(area.data(), capacity);
          FUZZ_CHECK(n >= 0 && n <= capacity, "Receive within its capacity");
          break;
        }
        case 1: {
          int32_t rate = -7;
          if (link.GetBaudRate(rate)) {
            FUZZ_CHECK(rate == 115200 || rate == 230400 || rate == 460800 ||
                           rate == 921600,
                       "GetBaudRate reports one of the four rates");
          } else {
            FUZZ_CHECK(rate == -7, "a failed GetBaudRate leaves the rate");
          }
          break;
        }
        default:
          link.SetBaudRate(kRates[(op >> 2) % 5]);
          break;
      }
    }
  }
  std::cout.rdbuf(saved);
  return 0;
}
