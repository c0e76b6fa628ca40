#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include "fleet/system/system.h"

namespace modflash::fleet {

int SignedExitStatus(int status) {
  return status > 127 ? status - 256 : status;
}

long long RawExitStatus(int status) { return status; }

bool LookUpIPv4(const std::string& host,
                std::vector<std::array<uint8_t, 4>>& addresses,
                std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int result = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (result != 0) {
    error = gai_strerror(result);
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
