#ifndef MODFLASH_TESTS_SIM_SIM_CLIENT_H_
#define MODFLASH_TESTS_SIM_SIM_CLIENT_H_

#include <cstdint>
#include <optional>
#include <vector>

#include "net/loopback_server.h"
#include "tools/readersim/reader_message.h"

namespace modflash::testing {

using Bytes = std::vector<uint8_t>;

/// A module command frame, built byte by byte as the programmer does.
Bytes CommandFrame(uint8_t command);
/// A 64-byte update packet of `type` around `payload` (at most 49 bytes).
Bytes UpdatePacket(uint8_t type, const Bytes& payload);
/// The Update_SendCode packet for one slice.
Bytes SendCodePacket(uint32_t address, const uint8_t* slice, bool testFlag);

/// A bare TCP client for the simulator, speaking reader messages.
class RawClient {
 public:
  RawClient() = default;
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  /// A `receiveBuffer` above 0 caps what the client takes in unread.
  bool Connect(uint16_t port, int receiveBuffer = 0);
  bool SendBytes(const Bytes& bytes);
  bool Send(uint8_t type, const Bytes& payload);
  /// Sends a module frame and returns the payload of the first answer.
  std::optional<Bytes> Exchange(const Bytes& frame, int timeoutMs = 2000);
  /// The next complete message, or nothing within `timeoutMs`.
  std::optional<sim::ReaderMessage> Read(int timeoutMs);
  /// Every byte that arrives within `timeoutMs` (until the peer closes).
  Bytes ReadRaw(int timeoutMs);
  /// True when the peer closes the connection within `timeoutMs`.
  bool WaitClosed(int timeoutMs);
  void Close();

 private:
  net::SocketLayerSession session_;
  net::SocketHandle socket_ = net::kInvalidSocket;
  sim::ReaderMessageParser parser_;
};

}  // namespace modflash::testing

#endif  // MODFLASH_TESTS_SIM_SIM_CLIENT_H_
