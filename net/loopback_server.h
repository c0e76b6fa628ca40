#ifndef MODFLASH_NET_LOOPBACK_SERVER_H_
#define MODFLASH_NET_LOOPBACK_SERVER_H_

// The server side of the socket layer, for the simulator and the tests:
// listening on the loopback address, accepting, sending whole buffers. The
// programmer never serves, so none of this is linked into it. Errors are
// Winsock codes through net::LastError(), as in the layer below.

#include <cstdint>

#include "link/socket_layer.h"

namespace modflash::net {

/// Connections a listener queues before it accepts them: a burst of a hundred
/// clients must not lose any.
inline constexpr int kListenBacklog = 128;
/// Listens on 127.0.0.1:`port`. Port 0 picks a free port below 16536 (the
/// highest the programmer accepts). kInvalidSocket when nothing could be
/// bound; `boundPort` receives the port.
SocketHandle ListenLoopback(uint16_t port, uint16_t* boundPort);
/// Accepts one connection; kInvalidSocket on failure.
SocketHandle Accept(SocketHandle listener);
/// Closes a connection abortively: the peer sees a reset, not an end.
void CloseWithReset(SocketHandle s);
/// Sends all `length` bytes; false when the connection failed.
bool SendAll(SocketHandle s, const uint8_t* data, int length);
/// Makes `s` non-blocking: a Send that cannot hand bytes over now fails
/// with kWouldBlock, as does a Recv with nothing waiting. For sockets
/// served by an event loop.
bool SetNonBlocking(SocketHandle s);
/// Every later send on `s` that cannot hand its bytes over within `ms`
/// milliseconds fails (a peer that stopped reading).
void SetSendTimeout(SocketHandle s, uint32_t ms);
/// Caps what `s` takes in before its owner reads it (before it connects:
/// the window offered to the peer follows from it).
void SetReceiveBuffer(SocketHandle s, int bytes);
/// For captures: the IPv4 address (in host order) and port of the peer of
/// `s`; false when the system cannot tell.
bool PeerAddress(SocketHandle s, uint32_t* address, uint16_t* port);

/// Calls Startup on construction and Cleanup on destruction, for code that
/// is not the reader link (the simulator, tests).
class SocketLayerSession {
 public:
  SocketLayerSession() : status_(Startup()) {}
  ~SocketLayerSession() {
    if (status_ == 0) Cleanup();
  }
  SocketLayerSession(const SocketLayerSession&) = delete;
  SocketLayerSession& operator=(const SocketLayerSession&) = delete;
  bool ok() const { return status_ == 0; }

 private:
  int status_;
};

}  // namespace modflash::net

#endif  // MODFLASH_NET_LOOPBACK_SERVER_H_
