// The parts of the server side that are the same on every platform.

#include "net/loopback_server.h"

namespace modflash::net {

bool SendAll(SocketHandle s, const uint8_t* data, int length) {
  int done = 0;
  while (done < length) {
    const int sent = Send(s, data + done, length - done);
    if (sent <= 0) return false;
    done += sent;
  }
  return true;
}

}  // namespace modflash::net
