#include "tests/support/ports.h"

#include <chrono>
#include <random>
#include <thread>

#include "net/loopback_server.h"

namespace modflash::testing {

namespace {

// The ports chosen here lie below where listeners on port 0 land (10000
// and up): a simulator that a test beside starts cannot take one between
// its choice and its use, to be reached by a program meant for another
// server or for none. Port 5000, which the guides use, is not among them.
constexpr uint16_t kFirstChosenPort = 6000;
constexpr unsigned kChosenPorts = 4000;

net::SocketHandle ListenOnAChosenPort(std::minstd_rand& pick, uint16_t& port) {
  for (int i = 0; i < 500; ++i) {
    const auto candidate =
        static_cast<uint16_t>(kFirstChosenPort + pick() % kChosenPorts);
    const net::SocketHandle s = net::ListenLoopback(candidate, nullptr);
    if (s != net::kInvalidSocket) {
      port = candidate;
      return s;
    }
  }
  port = 0;
  return net::kInvalidSocket;
}

}  // namespace

std::vector<uint16_t> FreeLoopbackPorts(size_t count) {
  net::SocketLayerSession session;
  std::minstd_rand pick(static_cast<unsigned>(
      std::chrono::steady_clock::now().time_since_epoch().count()));
  std::vector<net::SocketHandle> sockets;
  std::vector<uint16_t> ports;
  for (size_t i = 0; i < count; ++i) {
    uint16_t port = 0;
    sockets.push_back(ListenOnAChosenPort(pick, port));
    ports.push_back(port);
  }
  for (const net::SocketHandle s : sockets) {
    if (s != net::kInvalidSocket) net::Close(s);
  }
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
