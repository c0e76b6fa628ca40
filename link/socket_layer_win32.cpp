// Winsock 2.2 behind the socket layer. Error numbers are Winsock's own.

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // InetPtonW
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <cstdio>
#include <iostream>
#include <string>

#include "contract/output_lines.h"
#include "link/socket_layer.h"
#include "platform/wide_text.h"

namespace modflash::net {
namespace {

thread_local int last_error = 0;

// Every call that fails takes its code from Winsock at once, before any
// other call can replace it.
int Fail() {
  last_error = WSAGetLastError();
  return kSocketError;
}

SOCKET Raw(SocketHandle s) { return static_cast<SOCKET>(s); }

// The system's text for `code` (from the system message table, in the
// user's default language), limited to 256 wide characters; empty when the
// system has none.
void FormatSystemText(int code, wchar_t (&msgbuf)[256]) {
  msgbuf[0] = L'\0';
  const DWORD written = FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0x0400, msgbuf, 256, nullptr);
  if (written == 0) msgbuf[0] = L'\0';
}

}  // namespace

int Startup() {
  WSADATA wsaData;
  return WSAStartup(0x0202, &wsaData);
}

void Cleanup() { WSACleanup(); }

int LastError() { return last_error; }

int RecordSystemError() { return Fail(); }

SocketHandle OpenTcp() {
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    Fail();
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(s);
}

void SetReceiveTimeout(SocketHandle s, uint32_t ms) {
  const DWORD timeout = ms;
  setsockopt(Raw(s), SOL_SOCKET, SO_RCVTIMEO,
             reinterpret_cast<const char*>(&timeout), sizeof timeout);
}

int ConnectIPv4(SocketHandle s, const std::string& address, uint16_t port) {
  // One wide character per byte, widened as a signed char, no code page.
  std::wstring temp;
  temp.reserve(address.size());
  for (const char c : address) {
    temp.push_back(static_cast<wchar_t>(static_cast<signed char>(c)));
  }
  sockaddr_in clientInfo{};
  clientInfo.sin_family = AF_INET;
  // A text that does not parse leaves 0.0.0.0, which connect refuses.
  InetPtonW(AF_INET, temp.c_str(), &clientInfo.sin_addr);
  clientInfo.sin_port = htons(port);
  if (connect(Raw(s), reinterpret_cast<const sockaddr*>(&clientInfo),
              sizeof clientInfo) == SOCKET_ERROR) {
    return Fail();
  }
  return 0;
}

int Send(SocketHandle s, const uint8_t* data, int length) {
  const int sent = send(Raw(s), reinterpret_cast<const char*>(data), length, 0);
  if (sent == SOCKET_ERROR) return Fail();
  return sent;
}

int Recv(SocketHandle s, uint8_t* buffer, int length) {
  const int got = recv(Raw(s), reinterpret_cast<char*>(buffer), length, 0);
  if (got == SOCKET_ERROR) return Fail();
  return got;
}

int RecvWaiting(SocketHandle s, uint8_t* buffer, int length) {
  if (!WaitReadable(s, 0)) {
    last_error = WSAEWOULDBLOCK;
    return kSocketError;
  }
  return Recv(s, buffer, length);
}

void ShutdownSend(SocketHandle s) { shutdown(Raw(s), SD_SEND); }

void WaitForPeerClose(SocketHandle s, uint32_t ms) {
  WSAEVENT EventArray[1];
  EventArray[0] = WSACreateEvent();
  if (EventArray[0] == WSA_INVALID_EVENT) return;
  // The registration also makes the socket non-blocking.
  WSAEventSelect(Raw(s), EventArray[0], FD_CLOSE);
  WSAWaitForMultipleEvents(1, EventArray, FALSE, ms, FALSE);
  WSACloseEvent(EventArray[0]);
}

void Close(SocketHandle s) { closesocket(Raw(s)); }

void PrintSocketCreateFailure(unsigned code) {
  // The wide print goes to the same stdout; what the stream holds first.
  std::cout.flush();
  wprintf(L"%ls%u\n", Widen(output::kSocketNotCreated).c_str(), code);
}

void PrintConnectFailure(int code) {
  wchar_t msgbuf[256];
  FormatSystemText(code, msgbuf);
  std::cout.flush();
  wprintf(L"%ls(%d) %ls\n", Widen(output::kNotConnected).c_str(), code, msgbuf);
}

std::string SystemErrorText(int code) {
  wchar_t msgbuf[256];
  FormatSystemText(code, msgbuf);
  return Narrow(msgbuf);
}

bool WaitReadable(SocketHandle s, int timeoutMs) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Raw(s), &readable);
  timeval limit{};
  limit.tv_sec = timeoutMs / 1000;
  limit.tv_usec = (timeoutMs % 1000) * 1000;
  const int ready =
      select(0, &readable, nullptr, nullptr, timeoutMs < 0 ? nullptr : &limit);
  if (ready == SOCKET_ERROR) Fail();
  return ready > 0;
}

}  // namespace modflash::net
