// BSD sockets behind the socket layer. Start-up and clean-up keep Winsock's
// pairing but do nothing; errno values are handed out as Winsock codes.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <random>

#include "link/socket_layer.h"

namespace modflash::net {
namespace {

thread_local int last_error = 0;

struct ErrnoCode {
  int errno_value;
  int wsa_code;
};

// errno values the link can meet, with their Winsock counterparts. EAGAIN
// is handled apart: on a blocking socket it is a receive time-out.
constexpr ErrnoCode kErrnoCodes[] = {
    {EINTR, wsa::kInterrupted},
    {EBADF, wsa::kNotSocket},
    {EACCES, wsa::kAccess},
    {EFAULT, wsa::kFault},
    {EINVAL, wsa::kInvalidArgument},
    {EMFILE, wsa::kTooManyOpen},
    {ENFILE, wsa::kTooManyOpen},
    {EINPROGRESS, wsa::kInProgress},
    {EALREADY, wsa::kAlready},
    {ENOTSOCK, wsa::kNotSocket},
    {EMSGSIZE, wsa::kMessageSize},
    {EAFNOSUPPORT, wsa::kAddressFamily},
    {EADDRINUSE, wsa::kAddressInUse},
    {EADDRNOTAVAIL, wsa::kAddressNotAvailable},
    {ENETDOWN, wsa::kNetworkDown},
    {ENETUNREACH, wsa::kNetworkUnreachable},
    {ECONNABORTED, wsa::kConnectionAborted},
    {ECONNRESET, wsa::kConnectionReset},
    {EPIPE, wsa::kConnectionReset},
    {ENOBUFS, wsa::kNoBuffers},
    {ENOMEM, wsa::kNoBuffers},
    {EISCONN, wsa::kAlreadyConnected},
    {ENOTCONN, wsa::kNotConnected},
    {ESHUTDOWN, wsa::kShutdown},
    {ETIMEDOUT, wsa::kTimedOut},
    {ECONNREFUSED, wsa::kConnectionRefused},
    {EHOSTUNREACH, wsa::kHostUnreachable},
};

int ToWsa(int errno_value) {
  for (const ErrnoCode& entry : kErrnoCodes) {
    if (entry.errno_value == errno_value) return entry.wsa_code;
  }
  return errno_value;  // Unknown: the raw number still says something.
}

int FromWsa(int code) {
  if (code == wsa::kWouldBlock) return EWOULDBLOCK;
  for (const ErrnoCode& entry : kErrnoCodes) {
    if (entry.wsa_code == code) return entry.errno_value;
  }
  return 0;
}

int Fd(SocketHandle s) { return static_cast<int>(s); }

bool IsNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags != -1 && (flags & O_NONBLOCK) != 0;
}

// Records errno as the layer's last error and returns kSocketError.
int Fail() {
  last_error = ToWsa(errno);
  return kSocketError;
}

}  // namespace

int Startup() { return 0; }

void Cleanup() {}

int LastError() { return last_error; }

SocketHandle OpenTcp() {
  const int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) {
    Fail();
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(fd);
}

void SetReceiveTimeout(SocketHandle s, uint32_t ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  setsockopt(Fd(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

int ConnectIPv4(SocketHandle s, const std::string& address, uint16_t port) {
  sockaddr_in info{};
  info.sin_family = AF_INET;
  inet_pton(AF_INET, address.c_str(), &info.sin_addr);  // 0.0.0.0 if bad
  info.sin_port = htons(port);
  if (info.sin_addr.s_addr == htonl(INADDR_ANY)) {
    // Linux would take 0.0.0.0 for this host; Winsock refuses it.
    last_error = wsa::kAddressNotAvailable;
    return kSocketError;
  }
  if (s == kInvalidSocket) {
    last_error = wsa::kNotSocket;
    return kSocketError;
  }
  if (connect(Fd(s), reinterpret_cast<const sockaddr*>(&info), sizeof info) !=
      0) {
    return Fail();
  }
  return 0;
}

int Send(SocketHandle s, const uint8_t* data, int length) {
  if (s == kInvalidSocket) {
    last_error = wsa::kNotSocket;
    return kSocketError;
  }
  const ssize_t sent =
      send(Fd(s), data, static_cast<size_t>(length), MSG_NOSIGNAL);
  if (sent < 0) return Fail();
  return static_cast<int>(sent);
}

int Recv(SocketHandle s, uint8_t* buffer, int length) {
  if (s == kInvalidSocket) {
    last_error = wsa::kNotSocket;
    return kSocketError;
  }
  ssize_t got;
  do {
    got = recv(Fd(s), buffer, static_cast<size_t>(length), 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // A blocking socket reports its receive time-out this way.
      last_error = IsNonBlocking(Fd(s)) ? wsa::kWouldBlock : wsa::kTimedOut;
      return kSocketError;
    }
    return Fail();
  }
  return static_cast<int>(got);
}

void ShutdownSend(SocketHandle s) { shutdown(Fd(s), SHUT_WR); }

void WaitForPeerClose(SocketHandle s, uint32_t ms) {
  const int fd = Fd(s);
  const int flags = fcntl(fd, F_GETFL);
  if (flags != -1) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  // Data still queued by the peer also wakes the wait, as it would on the
  // close notification's socket; the drain that follows discards it.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    const int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready > 0) {
      if ((p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) return;
      // Readable but not closed yet: wait for the close itself.
      uint8_t scratch[64];
      const ssize_t got = recv(fd, scratch, sizeof scratch, MSG_PEEK);
      if (got <= 0) return;
      // Unread data keeps the socket readable; look again shortly.
      poll(nullptr, 0, 10);
      continue;
    }
    if (ready == 0) return;
    if (errno != EINTR) return;
  }
}

void Close(SocketHandle s) {
  if (s != kInvalidSocket) close(Fd(s));
}

void PrintSocketCreateFailure(unsigned code) {
  std::cout << "Failed to create socket. Error " << code << "\n";
}

void PrintConnectFailure(int code) {
  std::cout << "Failed to connect to reader. Error (" << code << ") "
            << SystemErrorText(code) << "\n";
}

std::string SystemErrorText(int code) {
  const int errno_value = FromWsa(code);
  if (errno_value == 0) return std::string();
  return std::string(std::strerror(errno_value)) + "\n";
}

SocketHandle ListenLoopback(uint16_t port, uint16_t* boundPort) {
  const int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) {
    Fail();
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
      if (listen(fd, 8) != 0) break;
      if (boundPort != nullptr) *boundPort = candidate;
      return static_cast<SocketHandle>(fd);
    }
    if (errno != EADDRINUSE && errno != EACCES) break;
  }
  Fail();
  close(fd);
  return kInvalidSocket;
}

bool WaitReadable(SocketHandle s, int timeoutMs) {
  pollfd p{Fd(s), POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

SocketHandle Accept(SocketHandle listener) {
  int fd;
  do {
    fd = accept(Fd(listener), nullptr, nullptr);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    Fail();
    return kInvalidSocket;
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return static_cast<SocketHandle>(fd);
}

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
