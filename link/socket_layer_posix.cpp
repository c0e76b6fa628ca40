// BSD sockets behind the socket layer. Start-up and clean-up keep Winsock's
// pairing but do nothing; errno values are handed out as Winsock codes.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>

#include "contract/output_lines.h"
#include "link/socket_layer.h"

namespace modflash::net {
namespace {

thread_local int last_error = 0;

struct ErrnoCode {
  int errno_value;
  int wsa_code;
};

// Winsock codes the shared header does not name.
constexpr int kWsaDestinationRequired = 10039;
constexpr int kWsaProtocolType = 10041;
constexpr int kWsaProtocolOption = 10042;
constexpr int kWsaProtocolNotSupported = 10043;
constexpr int kWsaOperationNotSupported = 10045;
constexpr int kWsaNetworkReset = 10052;
constexpr int kWsaHostDown = 10064;

// errno values the link can meet, with their Winsock counterparts. EAGAIN
// (EWOULDBLOCK) is handled apart: on a blocking socket it is the receive
// time-out (10060), on a non-blocking one "would block" (10035). Where two
// errno values share a code, the first one gives the code its text.
constexpr ErrnoCode kErrnoCodes[] = {
    {EINTR, wsa::kInterrupted},
    {ENOTSOCK, wsa::kNotSocket},
    {EBADF, wsa::kNotSocket},
    {EACCES, wsa::kAccess},
    {EFAULT, wsa::kFault},
    {EINVAL, wsa::kInvalidArgument},
    {EMFILE, wsa::kTooManyOpen},
    {ENFILE, wsa::kTooManyOpen},
    {EINPROGRESS, wsa::kInProgress},
    {EALREADY, wsa::kAlready},
    {EDESTADDRREQ, kWsaDestinationRequired},
    {EMSGSIZE, wsa::kMessageSize},
    {EPROTOTYPE, kWsaProtocolType},
    {ENOPROTOOPT, kWsaProtocolOption},
    {EPROTONOSUPPORT, kWsaProtocolNotSupported},
    {EOPNOTSUPP, kWsaOperationNotSupported},
    {EAFNOSUPPORT, wsa::kAddressFamily},
    {EADDRINUSE, wsa::kAddressInUse},
    {EADDRNOTAVAIL, wsa::kAddressNotAvailable},
    {ENETDOWN, wsa::kNetworkDown},
    {ENETUNREACH, wsa::kNetworkUnreachable},
    {ENETRESET, kWsaNetworkReset},
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
    {EHOSTDOWN, kWsaHostDown},
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

// As Fail, for a call on `fd`: a would-block report is a time-out on a
// blocking socket (SO_RCVTIMEO) and "would block" on a non-blocking one.
int FailOn(int fd) {
  if (errno == EAGAIN || errno == EWOULDBLOCK) {
    last_error = IsNonBlocking(fd) ? wsa::kWouldBlock : wsa::kTimedOut;
    return kSocketError;
  }
  return Fail();
}

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  // Round up, so the wait never ends before the deadline.
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                              left + std::chrono::milliseconds(1) -
                              std::chrono::steady_clock::duration(1))
                              .count());
}

}  // namespace

int Startup() { return 0; }

void Cleanup() {}

int LastError() { return last_error; }

int RecordSystemError() { return Fail(); }

SocketHandle OpenTcp() {
  // Close-on-exec, as every descriptor of ours: a child process started
  // meanwhile must not hold the connection (process/child_process.h).
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
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
  if (s == kInvalidSocket) {
    last_error = wsa::kNotSocket;
    return kSocketError;
  }
  sockaddr_in info{};
  info.sin_family = AF_INET;
  inet_pton(AF_INET, address.c_str(), &info.sin_addr);  // 0.0.0.0 if bad
  info.sin_port = htons(port);
  if (info.sin_addr.s_addr == htonl(INADDR_ANY)) {
    // Linux would take 0.0.0.0 for this host; Winsock refuses it.
    last_error = wsa::kAddressNotAvailable;
    return kSocketError;
  }
  const int fd = Fd(s);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&info), sizeof info) == 0) {
    return 0;
  }
  if (errno != EINTR) return Fail();
  // An interrupted connect goes on in the background: wait for its outcome.
  pollfd p{fd, POLLOUT, 0};
  int ready;
  do {
    ready = poll(&p, 1, -1);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return Fail();
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return Fail();
  if (error != 0) {
    last_error = ToWsa(error);
    return kSocketError;
  }
  return 0;
}

int Send(SocketHandle s, const uint8_t* data, int length) {
  if (s == kInvalidSocket) {
    last_error = wsa::kNotSocket;
    return kSocketError;
  }
  ssize_t sent;
  do {
    // MSG_NOSIGNAL: a reader that has gone makes the call fail, it does not
    // raise SIGPIPE.
    sent = send(Fd(s), data, static_cast<size_t>(length), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return FailOn(Fd(s));
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
  if (got < 0) return FailOn(Fd(s));
  return static_cast<int>(got);
}

int RecvWaiting(SocketHandle s, uint8_t* buffer, int length) {
  if (s == kInvalidSocket) {
    last_error = wsa::kNotSocket;
    return kSocketError;
  }
  ssize_t got;
  do {
    got = recv(Fd(s), buffer, static_cast<size_t>(length), MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      last_error = wsa::kWouldBlock;
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
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
#ifdef POLLRDHUP
  // Asking for the peer's close alone, as the close notification does: data
  // the reader still sends does not end the wait (the drain that follows
  // discards it). A reset or error ends it (POLLERR, POLLHUP).
  for (;;) {
    pollfd p{fd, POLLRDHUP, 0};
    const int ready = poll(&p, 1, MillisecondsLeft(deadline));
    if (ready >= 0 || errno != EINTR) return;
  }
#else
  // Without a close-only event, look at readable data: an end of stream
  // ends the wait; unread data keeps the socket readable, so look again
  // shortly.
  for (;;) {
    const int left = MillisecondsLeft(deadline);
    if (left == 0) return;
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, left);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (ready == 0) return;
    if ((p.revents & (POLLHUP | POLLERR)) != 0) return;
    uint8_t scratch[64];
    const ssize_t got = recv(fd, scratch, sizeof scratch, MSG_PEEK);
    if (got <= 0) return;
    poll(nullptr, 0, std::min(10, MillisecondsLeft(deadline)));
  }
#endif
}

void Close(SocketHandle s) {
  if (s != kInvalidSocket) close(Fd(s));
}

void PrintSocketCreateFailure(unsigned code) {
  std::cout << output::kSocketNotCreated << code << "\n";
}

void PrintConnectFailure(int code) {
  std::cout << output::kNotConnected << "(" << code << ") "
            << SystemErrorText(code) << "\n";
}

std::string SystemErrorText(int code) {
  int errno_value = FromWsa(code);
  // A number that no Winsock code stands for is an errno value passed on.
  if (errno_value == 0 && code > 0 && code < 10000) errno_value = code;
  if (errno_value == 0) return std::string();
  return std::string(std::strerror(errno_value)) + "\n";
}

bool WaitReadable(SocketHandle s, int timeoutMs) {
  pollfd p{Fd(s), POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

}  // namespace modflash::net
