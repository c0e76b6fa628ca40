// BSD sockets behind the server side.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <random>

#include "net/loopback_server.h"

namespace modflash::net {
namespace {

int Fd(SocketHandle s) { return static_cast<int>(s); }

}  // namespace

bool SetNonBlocking(SocketHandle s) {
  const int flags = fcntl(Fd(s), F_GETFL);
  return flags != -1 && fcntl(Fd(s), F_SETFL, flags | O_NONBLOCK) == 0;
}

void SetSendTimeout(SocketHandle s, uint32_t ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  setsockopt(Fd(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void SetReceiveBuffer(SocketHandle s, int bytes) {
  setsockopt(Fd(s), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

SocketHandle ListenLoopback(uint16_t port, uint16_t* boundPort) {
  // Close-on-exec, as every descriptor of ours: a child process must not
  // hold the port.
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    RecordSystemError();
    return kInvalidSocket;
  }
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in info{};
  info.sin_family = AF_INET;
  info.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  std::minstd_rand pick(static_cast<unsigned>(
      std::chrono::steady_clock::now().time_since_epoch().count() ^ getpid()));
  const int tries = port == 0 ? 500 : 1;
  for (int i = 0; i < tries; ++i) {
    // The system's ephemeral ports lie above what the programmer accepts.
    const uint16_t candidate =
        port != 0 ? port : static_cast<uint16_t>(10000 + pick() % 6536);
    info.sin_port = htons(candidate);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&info), sizeof info) == 0) {
      if (listen(fd, kListenBacklog) != 0) break;
      if (boundPort != nullptr) *boundPort = candidate;
      return static_cast<SocketHandle>(fd);
    }
    if (errno != EADDRINUSE && errno != EACCES) break;
  }
  RecordSystemError();
  close(fd);
  return kInvalidSocket;
}

SocketHandle Accept(SocketHandle listener) {
  int fd;
  do {
    fd = accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    RecordSystemError();
    return kInvalidSocket;
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return static_cast<SocketHandle>(fd);
}

void CloseWithReset(SocketHandle s) {
  if (s == kInvalidSocket) return;
  linger hard{};
  hard.l_onoff = 1;
  hard.l_linger = 0;
  setsockopt(Fd(s), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(Fd(s));
}

bool PeerAddress(SocketHandle s, uint32_t* address, uint16_t* port) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (getpeername(Fd(s), reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
      peer.sin_family != AF_INET) {
    RecordSystemError();
    return false;
  }
  *address = ntohl(peer.sin_addr.s_addr);
  *port = ntohs(peer.sin_port);
  return true;
}

}  // namespace modflash::net
