#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>

#include "fleet/system/system.h"

namespace modflash::fleet {
namespace {

// Winsock, started for the look-ups and released when the program ends.
class Winsock {
 public:
  Winsock() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~Winsock() {
    if (started_) WSACleanup();
  }
  Winsock(const Winsock&) = delete;
  Winsock& operator=(const Winsock&) = delete;
  bool started() const { return started_; }

 private:
  bool started_ = false;
};

}  // namespace

int SignedExitStatus(int status) { return status; }

long long RawExitStatus(int status) { return static_cast<uint32_t>(status); }

bool LookUpIPv4(const std::string& host,
                std::vector<std::array<uint8_t, 4>>& addresses,
                std::string& error) {
  static Winsock winsock;
  if (!winsock.started()) {
    error = "Winsock could not be started";
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int result = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (result != 0) {
    error = "error " + std::to_string(result);
    return false;
  }
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
    const auto* b = reinterpret_cast<const uint8_t*>(&in->sin_addr);
    addresses.push_back({b[0], b[1], b[2], b[3]});
  }
  freeaddrinfo(found);
  return true;
}

}  // namespace modflash::fleet
