#include "link/ethernet_update_comm.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <thread>
#include <utility>

#include "contract/output_lines.h"
#include "link/reader_framing.h"

namespace modflash {
namespace {

// Every read on the reader socket waits at most this long.
constexpr uint32_t kReceiveTimeoutMs = 5000;
// How long Disconnect waits for the reader to close its side.
constexpr uint32_t kCloseWaitMs = 15000;
// The most payload a message in sendBuffer_ can carry.
constexpr int32_t kMaxPayload = 1016;
constexpr int32_t kFrameOverhead = static_cast<int32_t>(framing::kOverhead);
constexpr int32_t kHeaderLength = static_cast<int32_t>(framing::kHeadLength);
// The size of the answer area the baud-rate operations read into.
constexpr int32_t kAnswerArea = 64;
constexpr int32_t kBaudRates[] = {115200, 230400, 460800, 921600};

void PrintReceiveError(int code) {
  std::cout << output::kReceiveFailed << output::kErrorNumber << code << ".\n";
}

int64_t MsUntil(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             t - std::chrono::steady_clock::now())
      .count();
}

}  // namespace

EthernetUpdateComm::EthernetUpdateComm(std::string address,
                                       int32_t portNumber) {
  const int startup = net::Startup();
  if (startup != 0) {
    std::cout << output::kSocketsNotStarted << startup << ".\n";
    return;
  }
  ipAddress_ = std::move(address);
  port_ = portNumber;
  readerSocket_ = net::OpenTcp();
  if (readerSocket_ == net::kInvalidSocket) {
    net::PrintSocketCreateFailure(static_cast<unsigned>(net::LastError()));
    net::Cleanup();
    return;
  }
  net::SetReceiveTimeout(readerSocket_, kReceiveTimeoutMs);
  if (Connect()) std::cout << output::kConnected << "\n\n";
}

EthernetUpdateComm::~EthernetUpdateComm() {
  if (readerSocket_ != net::kInvalidSocket) Disconnect();
}

bool EthernetUpdateComm::Connect() {
  const bool hadSocket = readerSocket_ != net::kInvalidSocket;
  if (net::ConnectIPv4(readerSocket_, ipAddress_,
                       static_cast<uint16_t>(port_ & 0xFFFF)) == 0) {
    return true;
  }
  net::PrintConnectFailure(net::LastError());
  // Without a socket there is nothing to close, and the layer was released
  // already (or never started): releasing it here would break the pairing.
  if (hadSocket) {
    net::Close(readerSocket_);
    readerSocket_ = net::kInvalidSocket;
    net::Cleanup();
  }
  return false;
}

void EthernetUpdateComm::BuildMessage(uint8_t type, const uint8_t* payload,
                                      int32_t length) {
  sendLength_ = static_cast<int32_t>(
      framing::Frame(type, payload, static_cast<size_t>(length), sendBuffer_));
}

bool EthernetUpdateComm::DropInbox() {
  const bool held = inboxStart_ != inboxEnd_;
  inboxStart_ = 0;
  inboxEnd_ = 0;
  return held;
}

bool EthernetUpdateComm::DiscardWaitingInput() {
  // Bounded, so that a reader that floods cannot hold the request back: what
  // is left over is read, and judged, as the answer. When nothing is waiting
  // this costs the one receive that finds so.
  constexpr int kMostReads = 4;
  bool found = DropInbox();
  for (int i = 0; i < kMostReads; ++i) {
    if (net::RecvWaiting(readerSocket_, inbox_, sizeof inbox_) <= 0) break;
    found = true;
  }
  return found;
}

bool EthernetUpdateComm::SendMessage() {
  // Input waiting now cannot be the answer to a request not yet sent.
  if (DiscardWaitingInput()) ++anomalies_.strayInput;
  requestSentAt_ = Clock::now();
  awaitingAnswer_ = true;
  answerTrusted_ = lineSettled_;
  lineSettled_ = false;
  if (net::Send(readerSocket_, sendBuffer_, sendLength_) == net::kSocketError) {
    std::cout << output::kSendFailed << output::kErrorNumber << net::LastError()
              << ".\n";
    return false;
  }
  return true;
}

bool EthernetUpdateComm::Send(const uint8_t* data, int32_t length) {
  if (length < 0 || length > kMaxPayload || (length > 0 && data == nullptr)) {
    std::cout << output::kSendFailed << output::kInvalidLength << length
              << ".\n";
    return false;
  }
  BuildMessage(Reader_ModuleData, data, length);
  pairing_.NoteRequest(data, length);
  return SendMessage();
}

void EthernetUpdateComm::NoteReceiveError() {
  disturbedSinceSettle_ = true;
  ++anomalies_.receiveErrors;
}

void EthernetUpdateComm::ReportTimeout() {
  disturbedSinceSettle_ = true;
  ++anomalies_.timeouts;
  PrintReceiveError(net::wsa::kTimedOut);
}

int32_t EthernetUpdateComm::FillInbox(const Clock::time_point* due) {
  if (due != nullptr) {
    const int64_t left = MsUntil(*due);
    if (left <= 0 ||
        !net::WaitReadable(readerSocket_, static_cast<int>(left))) {
      ReportTimeout();
      return -1;
    }
  }
  const int got = net::Recv(readerSocket_, inbox_, sizeof inbox_);
  if (got == net::kSocketError) {
    if (net::LastError() == net::wsa::kTimedOut) {
      ReportTimeout();
    } else {
      NoteReceiveError();
      PrintReceiveError(net::LastError());
    }
    return -1;
  }
  inboxStart_ = 0;
  inboxEnd_ = got;
  inboxFilledAt_ = Clock::now();
  return got;
}

int32_t EthernetUpdateComm::ReadExactly(uint8_t* dest, int32_t length,
                                        Clock::time_point& messageDeadline,
                                        bool firstOfMessage,
                                        const Clock::time_point* firstByteBy) {
  int32_t have = 0;
  while (have < length) {
    const bool first = firstOfMessage && have == 0;
    if (inboxStart_ == inboxEnd_) {
      // A reader that drips its bytes must not restart the time-out with
      // every byte: the rest of a message has one time-out in all. The first
      // byte waits for the socket's own time-out, unless it is due sooner.
      const int32_t got = FillInbox(first ? firstByteBy : &messageDeadline);
      if (got < 0) return -1;
      if (got == 0) break;  // The reader closed the connection.
    }
    if (first) {
      // A byte already in the inbox came with the receive that brought it.
      messageArrivedAt_ = inboxFilledAt_;
      messageDeadline =
          Clock::now() + std::chrono::milliseconds(kReceiveTimeoutMs);
    }
    const int32_t take = std::min(length - have, inboxEnd_ - inboxStart_);
    std::memcpy(dest + have, inbox_ + inboxStart_, static_cast<size_t>(take));
    inboxStart_ += take;
    have += take;
  }
  return have;
}

int32_t EthernetUpdateComm::ReceiveMessage(
    uint8_t* buffer, int32_t capacity, const Clock::time_point* firstByteBy) {
  Clock::time_point deadline;
  const int32_t head =
      ReadExactly(receiveBuffer_, kHeaderLength, deadline, true, firstByteBy);
  if (head < 0) return -1;
  if (head < kHeaderLength) NoteReceiveError();
  if (head == 0) {
    std::cout << output::kReceiveFailed << output::kConnectionClosed << "\n";
    return -1;
  }
  if (head < kHeaderLength) {
    std::cout << output::kReceiveFailed << output::kIncompleteMessage << "\n";
    return -1;
  }
  // Only the low byte of the length counts.
  const int32_t length = receiveBuffer_[3];
  if (length < kFrameOverhead) {
    // Consume what the header announces, so the next message is read from
    // its start, then refuse the message.
    if (length > kHeaderLength &&
        ReadExactly(receiveBuffer_ + kHeaderLength, length - kHeaderLength,
                    deadline, false) < 0) {
      return -1;
    }
    NoteReceiveError();
    std::cout << output::kReceiveFailed << output::kInvalidLength << length
              << ".\n";
    return -1;
  }
  const int32_t body = ReadExactly(receiveBuffer_ + kHeaderLength,
                                   length - kHeaderLength, deadline, false);
  if (body < 0) return -1;
  if (body < length - kHeaderLength) {
    NoteReceiveError();
    std::cout << output::kReceiveFailed << output::kIncompleteMessage << "\n";
    return -1;
  }
  const int32_t payload = length - kFrameOverhead;
  const int32_t copied = std::min(payload, std::max(capacity, int32_t{0}));
  if (copied > 0) {
    std::memcpy(buffer, receiveBuffer_ + framing::kPayloadOffset,
                static_cast<size_t>(copied));
  }
  return copied;
}

int32_t EthernetUpdateComm::Receive(uint8_t* buffer, int32_t capacity) {
  // A stray answer does not extend the wait: the request's own answer is
  // awaited within the one time-out.
  const Clock::time_point due =
      Clock::now() + std::chrono::milliseconds(kReceiveTimeoutMs);
  const Clock::time_point* firstByteBy = nullptr;
  for (;;) {
    const int32_t got = ReceiveMessage(buffer, capacity, firstByteBy);
    if (got < 0) return 0;
    firstByteBy = &due;
    // Once the module has proven that it echoes, the address decides,
    // whatever the timing.
    const bool proven = pairing_.proven();
    if (!proven && ArrivedTooSoon(messageArrivedAt_)) {
      NoteEarlyAnswer(buffer, got);
      continue;
    }
    if (pairing_.Judge(buffer, got, answerTrusted_ && !proven) ==
        AnswerPairing::Verdict::kStray) {
      ++anomalies_.misaddressed;
      continue;
    }
    TimeExchange();
    awaitingAnswer_ = false;
    return got;
  }
}

bool EthernetUpdateComm::GetBaudRate(int32_t& rate) {
  BuildMessage(Reader_GetBaudRate, nullptr, 0);
  if (!SendMessage()) return false;
  uint8_t dummyBuffer[kAnswerArea];
  const int32_t got = ReceiveMessage(dummyBuffer, kAnswerArea);
  awaitingAnswer_ = false;
  if (got < 0) return false;  // The receive has said why.
  const uint8_t exponent = receiveBuffer_[5];
  if (got < 1 || receiveBuffer_[4] != Reader_BaudRate || exponent > 3) {
    std::cout << output::kBadRateAnswer;
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
    std::cout << output::kInvalidRate << "\n";
    return false;
  }
  outBuf[0] = static_cast<uint8_t>(found - std::begin(kBaudRates));
  BuildMessage(Reader_SetBaudRate, outBuf, 1);
  if (!SendMessage()) return false;
  uint8_t dummyBuffer[kAnswerArea];
  const int32_t got = ReceiveMessage(dummyBuffer, kAnswerArea);
  awaitingAnswer_ = false;
  if (got < 0) return false;  // The receive has said why.
  if (got < 1 || receiveBuffer_[4] != Reader_SetBaudRateResult) {
    std::cout << output::kBadSetRateAnswer << "\n";
    return false;
  }
  if (receiveBuffer_[5] == 1) return true;
  std::cout << output::kRateNotSet << "\n";
  std::cout.flush();
  return false;
}

void EthernetUpdateComm::Delay(uint32_t ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void EthernetUpdateComm::SetQuietMode(bool /*on*/) {}

bool EthernetUpdateComm::SetLinkBaudRate(int32_t /*rate*/) { return false; }

void EthernetUpdateComm::Disconnect() {
  DropInbox();
  if (readerSocket_ != net::kInvalidSocket) {
    net::ShutdownSend(readerSocket_);
    net::WaitForPeerClose(readerSocket_, kCloseWaitMs);
    // Whatever the reader still sent is discarded; a failed read (also the
    // would-block of a reader that has not closed) ends the drain.
    uint8_t buffer[64];
    for (;;) {
      const int got = net::Recv(readerSocket_, buffer, 64);
      if (got > 0) continue;
      if (got == net::kSocketError) {
        std::cout << output::kShutdownFailed << "\n";
      }
      break;
    }
    net::Close(readerSocket_);
    net::Cleanup();
  }
  readerSocket_ = net::kInvalidSocket;
}

}  // namespace modflash
