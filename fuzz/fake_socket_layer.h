#ifndef MODFLASH_FUZZ_FAKE_SOCKET_LAYER_H_
#define MODFLASH_FUZZ_FAKE_SOCKET_LAYER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/socket_layer.h"

namespace modflash::fuzz {

/// The scripted reader behind the fake socket layer.
struct FakePeer {
  /// Released one per Send, in order.
  std::vector<std::vector<uint8_t>> chunks;
  /// Each Recv returns at most the next of these plus one bytes.
  std::vector<uint8_t> readSizes;
  std::vector<uint8_t> pending;
  size_t nextChunk = 0;
  size_t nextRead = 0;
  size_t pendingAt = 0;
  /// With nothing pending: true, the reader closed; false, a time-out.
  bool closeAtEnd = true;
  int lastError = 0;

  void Reset();
};

FakePeer& Peer();

}  // namespace modflash::fuzz

#endif  // MODFLASH_FUZZ_FAKE_SOCKET_LAYER_H_
