#include "tests/support/ports.h"

#include <chrono>
#include <thread>

#include "net/loopback_server.h"

namespace modflash::testing {

std::vector<uint16_t> FreeLoopbackPorts(size_t count) {
  net::SocketLayerSession session;
  std::vector<net::SocketHandle> sockets;
  std::vector<uint16_t> ports;
  for (size_t i = 0; i < count; ++i) {
    uint16_t port = 0;
    sockets.push_back(net::ListenLoopback(0, &port));
    ports.push_back(sockets.back() == net::kInvalidSocket ? 0 : port);
  }
  for (const net::SocketHandle s : sockets) net::Close(s);
  return ports;
}

uint16_t FreeLoopbackPort() { return FreeLoopbackPorts(1)[0]; }

bool AwaitListener(uint16_t port) {
  net::SocketLayerSession session;
  for (int i = 0; i < 200; ++i) {
    const net::SocketHandle probe = net::OpenTcp();
    const bool ready = net::ConnectIPv4(probe, "127.0.0.1", port) == 0;
    net::Close(probe);
    if (ready) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace modflash::testing
