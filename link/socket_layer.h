#ifndef MODFLASH_LINK_SOCKET_LAYER_H_
#define MODFLASH_LINK_SOCKET_LAYER_H_

// The one thin layer between the reader link and the platform's sockets:
// Winsock 2.2 in socket_layer_win32.cpp, BSD sockets in
// socket_layer_posix.cpp. The server side that the simulator and the tests
// add on top lives in net/loopback_server.h, outside the programmer. Every
// error number it hands out is a Winsock code, on every platform, so operators
// and tests see the same numbers.

#include <cstddef>
#include <cstdint>
#include <string>

namespace modflash::net {

/// A socket; wide enough for a Winsock SOCKET and a POSIX descriptor.
using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};
/// What the calls below return on failure (Winsock's SOCKET_ERROR).
inline constexpr int kSocketError = -1;

/// Winsock error codes the link can meet.
namespace wsa {
inline constexpr int kInterrupted = 10004;
inline constexpr int kBadHandle = 10009;
inline constexpr int kAccess = 10013;
inline constexpr int kFault = 10014;
inline constexpr int kInvalidArgument = 10022;
inline constexpr int kTooManyOpen = 10024;
inline constexpr int kWouldBlock = 10035;
inline constexpr int kInProgress = 10036;
inline constexpr int kAlready = 10037;
inline constexpr int kNotSocket = 10038;
inline constexpr int kMessageSize = 10040;
inline constexpr int kAddressFamily = 10047;
inline constexpr int kAddressInUse = 10048;
inline constexpr int kAddressNotAvailable = 10049;
inline constexpr int kNetworkDown = 10050;
inline constexpr int kNetworkUnreachable = 10051;
inline constexpr int kConnectionAborted = 10053;
inline constexpr int kConnectionReset = 10054;
inline constexpr int kNoBuffers = 10055;
inline constexpr int kAlreadyConnected = 10056;
inline constexpr int kNotConnected = 10057;
inline constexpr int kShutdown = 10058;
inline constexpr int kTimedOut = 10060;
inline constexpr int kConnectionRefused = 10061;
inline constexpr int kHostUnreachable = 10065;
inline constexpr int kNotInitialised = 10093;
}  // namespace wsa

/// Starts the socket layer (WSAStartup 2.2); 0 or the error number.
int Startup();
/// Releases what Startup took (WSACleanup).
void Cleanup();
/// The error number of the last failed call of this layer, as a Winsock code.
int LastError();
/// Takes the system's error of a socket call that just failed as LastError()
/// (for code built on this layer); returns kSocketError.
int RecordSystemError();

/// An IPv4 TCP socket, or kInvalidSocket.
SocketHandle OpenTcp();
/// Every later read on `s` waits at most `ms` milliseconds.
void SetReceiveTimeout(SocketHandle s, uint32_t ms);
/// Connects `s` to the dotted IPv4 `address`; a text that does not parse
/// stands for 0.0.0.0. Blocks; 0 or kSocketError.
int ConnectIPv4(SocketHandle s, const std::string& address, uint16_t port);
/// One send call; the count handed to the transport, or kSocketError. Never
/// raises a signal when the peer has gone.
int Send(SocketHandle s, const uint8_t* data, int length);
/// One receive call; the count, 0 when the peer closed, or kSocketError.
int Recv(SocketHandle s, uint8_t* buffer, int length);
/// One receive call that does not wait: the count, 0 when the peer closed,
/// or kSocketError (kWouldBlock when nothing is waiting).
int RecvWaiting(SocketHandle s, uint8_t* buffer, int length);
/// Shuts the sending side down.
void ShutdownSend(SocketHandle s);
/// Waits at most `timeoutMs` (negative: forever) until `s` is readable (or a
/// listener has a connection waiting). True when it is.
bool WaitReadable(SocketHandle s, int timeoutMs);
/// Waits at most `ms` milliseconds for the peer to close its side. Leaves
/// the socket non-blocking, so a later Recv fails with kWouldBlock when no
/// data is there.
void WaitForPeerClose(SocketHandle s, uint32_t ms);
/// Closes the socket.
void Close(SocketHandle s);

/// Prints "Failed to create socket. Error %u\n" as the platform prints wide
/// lines.
void PrintSocketCreateFailure(unsigned code);
/// Prints "Failed to connect to reader. Error (%d) %s\n" with the system's
/// own text for `code`, line end included.
void PrintConnectFailure(int code);
/// The system's text for a Winsock code, with its own line end; empty when
/// the system has none.
std::string SystemErrorText(int code);

}  // namespace modflash::net

#endif  // MODFLASH_LINK_SOCKET_LAYER_H_
