#include "link/ethernet_update_comm.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <thread>
#include <utility>

namespace modflash {
namespace {

// Every read on the reader socket waits at most this long.
constexpr uint32_t kReceiveTimeoutMs = 5000;
// How long Disconnect waits for the reader to close its side.
constexpr uint32_t kCloseWaitMs = 15000;
// The most payload a message in sendBuffer can carry.
constexpr int32_t kMaxPayload = 1016;
// Header (B9 9B, length, type) plus check byte and CR LF.
constexpr int32_t kFrameOverhead = 8;
constexpr int32_t kHeaderLength = 4;
// The size of the answer area the baud-rate operations read into.
constexpr int32_t kAnswerArea = 64;
// After a receive time-out: the line must be quiet this long before a retry,
// and the wait for that quiet lasts at most kSettleMaxMs.
constexpr int kSettleQuietMs = 2000;
constexpr int kSettleMaxMs = 5000;

constexpr int32_t kBaudRates[] = {115200, 230400, 460800, 921600};

void PrintReceiveError(int code) {
  std::cout << "Error receiving message from reader. Error #" << code << ".\n";
}

}  // namespace

EthernetUpdateComm::EthernetUpdateComm(std::string address,
                                       int32_t portNumber) {
  const int startup = net::Startup();
  if (startup != 0) {
    std::cout << "Unable to startup the Winsock Layer: Error #" << startup
              << ".\n";
    return;
  }
  ipAddress = std::move(address);
  port = portNumber;
  readerSocket = net::OpenTcp();
  if (readerSocket == net::kInvalidSocket) {
    net::PrintSocketCreateFailure(static_cast<unsigned>(net::LastError()));
    net::Cleanup();
    return;
  }
  net::SetReceiveTimeout(readerSocket, kReceiveTimeoutMs);
  if (Connect()) std::cout << "Connected to reader.\n\n";
}

EthernetUpdateComm::~EthernetUpdateComm() {
  if (readerSocket != net::kInvalidSocket) Disconnect();
}

bool EthernetUpdateComm::Connect() {
  const bool hadSocket = readerSocket != net::kInvalidSocket;
  if (net::ConnectIPv4(readerSocket, ipAddress,
                       static_cast<uint16_t>(port & 0xFFFF)) == 0) {
    return true;
  }
  net::PrintConnectFailure(net::LastError());
  // Without a socket there is nothing to close, and the layer was released
  // already (or never started): releasing it here would break the pairing.
  if (hadSocket) {
    net::Close(readerSocket);
    readerSocket = net::kInvalidSocket;
    net::Cleanup();
  }
  return false;
}

void EthernetUpdateComm::BuildMessage(uint8_t type, const uint8_t* payload,
                                      int32_t length) {
  const int32_t total = length + kFrameOverhead;
  sendBuffer[0] = 0xB9;
  sendBuffer[1] = 0x9B;
  sendBuffer[2] = static_cast<uint8_t>(total >> 8);
  sendBuffer[3] = static_cast<uint8_t>(total & 0xFF);
  sendBuffer[4] = type;
  if (length > 0) {
    std::memcpy(sendBuffer + 5, payload, static_cast<size_t>(length));
  }
  uint8_t check = 0;
  for (int32_t i = 2; i <= 4 + length; ++i) check ^= sendBuffer[i];
  sendBuffer[5 + length] = check;
  sendBuffer[6 + length] = 0x0D;
  sendBuffer[7 + length] = 0x0A;
  sendLength = total;
}

void EthernetUpdateComm::DiscardWaitingInput() {
  // Bounded, so that a reader that floods cannot hold the request back: what
  // is left over is read, and judged, as the answer.
  constexpr int kMostReads = 64;
  uint8_t scratch[256];
  for (int i = 0; i < kMostReads && net::WaitReadable(readerSocket, 0); ++i) {
    if (net::Recv(readerSocket, scratch, sizeof scratch) <= 0) return;
  }
}

bool EthernetUpdateComm::SendMessage() {
  DiscardWaitingInput();
  if (net::Send(readerSocket, sendBuffer, sendLength) == net::kSocketError) {
    std::cout << "Error sending message to reader. Error #" << net::LastError()
              << ".\n";
    return false;
  }
  return true;
}

bool EthernetUpdateComm::Send(const uint8_t* data, int32_t length) {
  if (length < 0 || length > kMaxPayload || (length > 0 && data == nullptr)) {
    std::cout << "Error sending message to reader. Invalid length " << length
              << ".\n";
    return false;
  }
  BuildMessage(Reader_ModuleData, data, length);
  return SendMessage();
}

int32_t EthernetUpdateComm::ReadExactly(
    uint8_t* dest, int32_t length,
    std::chrono::steady_clock::time_point& messageDeadline,
    bool firstOfMessage) {
  int32_t have = 0;
  while (have < length) {
    if (!firstOfMessage || have > 0) {
      // A reader that drips its bytes must not restart the time-out with
      // every byte: the rest of a message has one time-out in all.
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          messageDeadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 ||
          !net::WaitReadable(readerSocket, static_cast<int>(left.count()))) {
        lastReceiveTimedOut = true;
        PrintReceiveError(net::wsa::kTimedOut);
        return -1;
      }
    }
    const int got = net::Recv(readerSocket, dest + have, length - have);
    if (got == net::kSocketError) {
      lastReceiveTimedOut = net::LastError() == net::wsa::kTimedOut;
      PrintReceiveError(net::LastError());
      return -1;
    }
    if (got == 0) break;  // The reader closed the connection.
    if (firstOfMessage && have == 0) {
      messageDeadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(kReceiveTimeoutMs);
    }
    have += got;
  }
  return have;
}

int32_t EthernetUpdateComm::ReceiveMessage(uint8_t* buffer, int32_t capacity) {
  lastReceiveTimedOut = false;
  std::chrono::steady_clock::time_point deadline;
  const int32_t head =
      ReadExactly(receiveBuffer, kHeaderLength, deadline, true);
  if (head < 0) return -1;
  if (head == 0) {
    std::cout << "Error receiving message from reader. Connection closed.\n";
    return -1;
  }
  if (head < kHeaderLength) {
    std::cout << "Error receiving message from reader. Incomplete message.\n";
    return -1;
  }
  // Only the low byte of the length counts.
  const int32_t length = receiveBuffer[3];
  if (length < kFrameOverhead) {
    // Consume what the header announces, so the next message is read from
    // its start, then refuse the message.
    if (length > kHeaderLength &&
        ReadExactly(receiveBuffer + kHeaderLength, length - kHeaderLength,
                    deadline, false) < 0) {
      return -1;
    }
    std::cout << "Error receiving message from reader. Invalid length "
              << length << ".\n";
    return -1;
  }
  const int32_t body = ReadExactly(receiveBuffer + kHeaderLength,
                                   length - kHeaderLength, deadline, false);
  if (body < 0) return -1;
  if (body < length - kHeaderLength) {
    std::cout << "Error receiving message from reader. Incomplete message.\n";
    return -1;
  }
  const int32_t payload = length - kFrameOverhead;
  const int32_t copied = std::min(payload, std::max(capacity, int32_t{0}));
  if (copied > 0) {
    std::memcpy(buffer, receiveBuffer + 5, static_cast<size_t>(copied));
  }
  return copied;
}

int32_t EthernetUpdateComm::Receive(uint8_t* buffer, int32_t capacity) {
  return std::max(ReceiveMessage(buffer, capacity), int32_t{0});
}

bool EthernetUpdateComm::GetBaudRate(int32_t& rate) {
  BuildMessage(Reader_GetBaudRate, nullptr, 0);
  if (!SendMessage()) return false;
  uint8_t dummyBuffer[kAnswerArea];
  const int32_t got = ReceiveMessage(dummyBuffer, kAnswerArea);
  if (got < 0) return false;  // The receive has said why.
  const uint8_t exponent = receiveBuffer[5];
  if (got < 1 || receiveBuffer[4] != Reader_BaudRate || exponent > 3) {
    std::cout << "Unexpected response from GetBaudRate)";
    return false;
  }
  rate = kBaudRates[exponent];
  return true;
}

bool EthernetUpdateComm::SetBaudRate(int32_t rate) {
  uint8_t outBuf[1];
  const int32_t* found =
      std::find(std::begin(kBaudRates), std::end(kBaudRates), rate);
  if (found == std::end(kBaudRates)) {
    std::cout << "Invalid baud rate setting\n";
    return false;
  }
  outBuf[0] = static_cast<uint8_t>(found - std::begin(kBaudRates));
  BuildMessage(Reader_SetBaudRate, outBuf, 1);
  if (!SendMessage()) return false;
  uint8_t dummyBuffer[kAnswerArea];
  const int32_t got = ReceiveMessage(dummyBuffer, kAnswerArea);
  if (got < 0) return false;  // The receive has said why.
  if (got < 1 || receiveBuffer[4] != Reader_SetBaudRateResult) {
    std::cout << "Unexpected response from SetBaudRate\n";
    return false;
  }
  if (receiveBuffer[5] == 1) return true;
  std::cout << "Set baud rate failed.\n";
  std::cout.flush();
  return false;
}

void EthernetUpdateComm::Delay(uint32_t ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void EthernetUpdateComm::SetQuietMode(bool /*on*/) {}

bool EthernetUpdateComm::SetLinkBaudRate(int32_t /*rate*/) { return false; }

void EthernetUpdateComm::DiscardLateAnswers() {
  if (!lastReceiveTimedOut) return;
  lastReceiveTimedOut = false;
  // A module a little late is the common case: its answer arrives during
  // this wait and is thrown away with anything else, until the line has been
  // quiet for kSettleQuietMs (never longer than kSettleMaxMs in all).
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(kSettleMaxMs);
  uint8_t scratch[256];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return;
    const int wait = static_cast<int>(std::min<int64_t>(left, kSettleQuietMs));
    if (!net::WaitReadable(readerSocket, wait)) return;
    if (net::Recv(readerSocket, scratch, sizeof scratch) <= 0) return;
  }
}

void EthernetUpdateComm::Disconnect() {
  if (readerSocket != net::kInvalidSocket) {
    net::ShutdownSend(readerSocket);
    net::WaitForPeerClose(readerSocket, kCloseWaitMs);
    // Whatever the reader still sent is discarded; a failed read (also the
    // would-block of a reader that has not closed) ends the drain.
    uint8_t buffer[64];
    for (;;) {
      const int got = net::Recv(readerSocket, buffer, 64);
      if (got > 0) continue;
      if (got == net::kSocketError) {
        std::cout << "Smooth socket shutdown process failed.\n";
      }
      break;
    }
    net::Close(readerSocket);
    net::Cleanup();
  }
  readerSocket = net::kInvalidSocket;
}

}  // namespace modflash
