// A scripted socket layer for the link fuzz target: the reader is the fuzz
// input. Each Send of the link releases the next scripted answer chunk, and
// each Recv hands out at most the next scripted read size, so short reads,
// split headers and answers arriving together are all exercised. Nothing
// blocks: with nothing left the peer has closed or a read times out.

#include "fuzz/fake_socket_layer.h"

#include <algorithm>
#include <cstring>
#include <iostream>

namespace modflash::fuzz {

FakePeer& Peer() {
  static FakePeer peer;
  return peer;
}

void FakePeer::Reset() {
  chunks.clear();
  readSizes.clear();
  pending.clear();
  nextChunk = 0;
  nextRead = 0;
  pendingAt = 0;
  closeAtEnd = true;
  lastError = 0;
}

}  // namespace modflash::fuzz

namespace modflash::net {

using fuzz::Peer;

int Startup() { return 0; }
void Cleanup() {}
int LastError() { return Peer().lastError; }
SocketHandle OpenTcp() { return 7; }
void SetReceiveTimeout(SocketHandle, uint32_t) {}
int ConnectIPv4(SocketHandle, const std::string&, uint16_t) { return 0; }

int Send(SocketHandle, const uint8_t*, int length) {
  fuzz::FakePeer& p = Peer();
  if (p.nextChunk < p.chunks.size()) {
    const auto& chunk = p.chunks[p.nextChunk++];
    p.pending.insert(p.pending.end(), chunk.begin(), chunk.end());
  }
  return length;
}

int Recv(SocketHandle, uint8_t* buffer, int length) {
  fuzz::FakePeer& p = Peer();
  const size_t left = p.pending.size() - p.pendingAt;
  if (left == 0) {
    if (p.closeAtEnd) return 0;
    p.lastError = wsa::kTimedOut;
    return kSocketError;
  }
  size_t n = std::min(left, static_cast<size_t>(length));
  if (p.nextRead < p.readSizes.size()) {
    n = std::min(n, static_cast<size_t>(p.readSizes[p.nextRead++]) + 1);
  }
  std::memcpy(buffer, p.pending.data() + p.pendingAt, n);
  p.pendingAt += n;
  return static_cast<int>(n);
}

int RecvWaiting(SocketHandle s, uint8_t* buffer, int length) {
  if (!WaitReadable(s, 0)) {
    Peer().lastError = wsa::kWouldBlock;
    return kSocketError;
  }
  return Recv(s, buffer, length);
}

void ShutdownSend(SocketHandle) {}
void WaitForPeerClose(SocketHandle, uint32_t) {}
void Close(SocketHandle) {}
void PrintSocketCreateFailure(unsigned code) {
  std::cout << "Failed to create socket. Error " << code << "\n";
}
void PrintConnectFailure(int code) {
  std::cout << "Failed to connect to reader. Error (" << code << ") \n";
}
std::string SystemErrorText(int) { return {}; }
bool WaitReadable(SocketHandle, int) {
  return Peer().pending.size() > Peer().pendingAt;
}

}  // namespace modflash::net
