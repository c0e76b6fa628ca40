// Winsock 2.2 behind the server side.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <chrono>
#include <random>

#include "net/loopback_server.h"

namespace modflash::net {
namespace {

SOCKET Raw(SocketHandle s) { return static_cast<SOCKET>(s); }

}  // namespace

bool SetNonBlocking(SocketHandle s) {
  u_long on = 1;
  return ioctlsocket(Raw(s), static_cast<long>(FIONBIO), &on) == 0;
}

void SetSendTimeout(SocketHandle s, uint32_t ms) {
  const DWORD timeout = ms;
  setsockopt(Raw(s), SOL_SOCKET, SO_SNDTIMEO,
             reinterpret_cast<const char*>(&timeout), sizeof timeout);
}

void SetReceiveBuffer(SocketHandle s, int bytes) {
  setsockopt(Raw(s), SOL_SOCKET, SO_RCVBUF,
             reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

SocketHandle ListenLoopback(uint16_t port, uint16_t* boundPort) {
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    RecordSystemError();
    return kInvalidSocket;
  }
  // No other program may take the port over while it is ours.
  const BOOL on = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
             reinterpret_cast<const char*>(&on), sizeof on);
  sockaddr_in info{};
  info.sin_family = AF_INET;
  info.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  std::minstd_rand pick(static_cast<unsigned>(
      std::chrono::steady_clock::now().time_since_epoch().count() ^
      GetCurrentProcessId()));
  const int tries = port == 0 ? 500 : 1;
  for (int i = 0; i < tries; ++i) {
    // The system's ephemeral ports lie above what the programmer accepts.
    const uint16_t candidate =
        port != 0 ? port : static_cast<uint16_t>(10000 + pick() % 6536);
    info.sin_port = htons(candidate);
    if (bind(s, reinterpret_cast<const sockaddr*>(&info), sizeof info) == 0) {
      if (listen(s, kListenBacklog) == SOCKET_ERROR) break;
      if (boundPort != nullptr) *boundPort = candidate;
      return static_cast<SocketHandle>(s);
    }
    const int error = WSAGetLastError();
    if (error != WSAEADDRINUSE && error != WSAEACCES) break;
  }
  RecordSystemError();
  closesocket(s);
  return kInvalidSocket;
}

SocketHandle Accept(SocketHandle listener) {
  const SOCKET s = accept(Raw(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) {
    RecordSystemError();
    return kInvalidSocket;
  }
  const BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
             sizeof on);
  return static_cast<SocketHandle>(s);
}

void CloseWithReset(SocketHandle s) {
  linger hard{};
  hard.l_onoff = 1;
  hard.l_linger = 0;
  setsockopt(Raw(s), SOL_SOCKET, SO_LINGER,
             reinterpret_cast<const char*>(&hard), sizeof hard);
  closesocket(Raw(s));
}

bool PeerAddress(SocketHandle s, uint32_t* address, uint16_t* port) {
  sockaddr_in peer{};
  int length = sizeof peer;
  if (getpeername(Raw(s), reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
      peer.sin_family != AF_INET) {
    RecordSystemError();
    return false;
  }
  *address = ntohl(peer.sin_addr.s_addr);
  *port = ntohs(peer.sin_port);
  return true;
}

}  // namespace modflash::net
