#include "tests/support/fake_update_comm.h"

#include <algorithm>
#include <iostream>
#include <utility>

namespace modflash::testing {

namespace {

template <typename T>
T TakeNext(std::deque<T>& queue, const T& fallback) {
  if (queue.empty()) return fallback;
  T next = std::move(queue.front());
  queue.pop_front();
  return next;
}

void PrintLine(const std::string& line) {
  if (!line.empty()) std::cout << line;
}

}  // namespace

FakeAnswer FakeAnswer::Of(std::vector<uint8_t> payload) {
  FakeAnswer answer;
  answer.bytes = std::move(payload);
  return answer;
}

FakeAnswer FakeAnswer::None(std::string text, int32_t result) {
  FakeAnswer answer;
  answer.answered = false;
  answer.noAnswerResult = result;
  answer.line = std::move(text);
  return answer;
}

std::vector<std::vector<uint8_t>> FakeLinkLog::SentFrames() const {
  std::vector<std::vector<uint8_t>> frames;
  for (const FakeCall& call : calls) {
    if (call.kind == FakeCall::Kind::kSend) frames.push_back(call.bytes);
  }
  return frames;
}

size_t FakeLinkLog::Count(FakeCall::Kind kind) const {
  return static_cast<size_t>(std::count_if(
      calls.begin(), calls.end(),
      [kind](const FakeCall& call) { return call.kind == kind; }));
}

uint64_t FakeLinkLog::TotalDelayMs() const {
  uint64_t total = 0;
  for (const FakeCall& call : calls) {
    if (call.kind == FakeCall::Kind::kDelay) {
      total += static_cast<uint64_t>(call.value);
    }
  }
  return total;
}

std::string FakeLinkLog::Trace() const {
  std::string trace;
  for (const FakeCall& call : calls) {
    if (!trace.empty()) trace += ' ';
    const std::string value = std::to_string(call.value);
    const std::string failed = call.ok ? "" : "!";
    switch (call.kind) {
      case FakeCall::Kind::kDelay:
        trace += "Delay(" + value + ")";
        break;
      case FakeCall::Kind::kGetBaudRate:
        trace += "GetBaudRate" + failed;
        break;
      case FakeCall::Kind::kSetBaudRate:
        trace += "SetBaudRate(" + value + ")" + failed;
        break;
      case FakeCall::Kind::kConnect:
        trace += "Connect" + failed;
        break;
      case FakeCall::Kind::kSend:
        trace += "Send[" + value + "]" + failed;
        break;
      case FakeCall::Kind::kSetQuietMode:
        trace += call.value != 0 ? "SetQuietMode(on)" : "SetQuietMode(off)";
        break;
      case FakeCall::Kind::kReceive:
        trace += "Receive(" + value + ")" + failed;
        break;
      case FakeCall::Kind::kDisconnect:
        trace += "Disconnect";
        break;
      case FakeCall::Kind::kSetLinkBaudRate:
        trace += "SetLinkBaudRate(" + value + ")";
        break;
      case FakeCall::Kind::kDestroyed:
        trace += "Destroyed";
        break;
      case FakeCall::Kind::kDiscardLateAnswers:
        trace += "DiscardLateAnswers";
        break;
      case FakeCall::Kind::kWatchPairing:
        trace += call.value != 0 ? "WatchPairing(on)" : "WatchPairing(off)";
        break;
      case FakeCall::Kind::kAwaitQuietLine:
        trace += "AwaitQuietLine" + failed;
        break;
    }
  }
  return trace;
}

FakeUpdateComm::FakeUpdateComm() : log_(std::make_shared<FakeLinkLog>()) {}

FakeUpdateComm::~FakeUpdateComm() {
  log_->calls.push_back({FakeCall::Kind::kDestroyed, 0, {}, true});
  log_->destroyed = true;
}

void FakeUpdateComm::QueueAnswer(std::vector<uint8_t> payload) {
  answers_.push_back(FakeAnswer::Of(std::move(payload)));
}

void FakeUpdateComm::QueueNoAnswer(std::string line, int32_t result) {
  answers_.push_back(FakeAnswer::None(std::move(line), result));
}

void FakeUpdateComm::Queue(FakeAnswer answer) {
  answers_.push_back(std::move(answer));
}

void FakeUpdateComm::SetResponder(Responder responder) {
  responder_ = std::move(responder);
}

void FakeUpdateComm::SetDefaultAnswer(FakeAnswer answer) {
  defaultAnswer_ = std::move(answer);
}

void FakeUpdateComm::QueueSendResult(FakeResult result) {
  sendResults_.push_back(std::move(result));
}

void FakeUpdateComm::SetDefaultSendResult(FakeResult result) {
  defaultSend_ = std::move(result);
}

void FakeUpdateComm::QueueGetBaudRateResult(FakeRateResult result) {
  getRateResults_.push_back(std::move(result));
}

void FakeUpdateComm::SetDefaultGetBaudRateResult(FakeRateResult result) {
  defaultGetRate_ = std::move(result);
}

void FakeUpdateComm::QueueSetBaudRateResult(FakeResult result) {
  setRateResults_.push_back(std::move(result));
}

void FakeUpdateComm::SetDefaultSetBaudRateResult(FakeResult result) {
  defaultSetRate_ = std::move(result);
}

void FakeUpdateComm::SetDefaultSetLinkBaudRateResult(bool ok) {
  setLinkRateResult_ = ok;
}

void FakeUpdateComm::Delay(uint32_t ms) {
  log_->calls.push_back({FakeCall::Kind::kDelay, ms, {}, true});
}

bool FakeUpdateComm::GetBaudRate(int32_t& rate) {
  const FakeRateResult result = TakeNext(getRateResults_, defaultGetRate_);
  PrintLine(result.line);
  if (result.ok) rate = result.rate;
  log_->calls.push_back({FakeCall::Kind::kGetBaudRate,
                         result.ok ? result.rate : 0,
                         {},
                         result.ok});
  return result.ok;
}

bool FakeUpdateComm::SetBaudRate(int32_t rate) {
  const FakeResult result = TakeNext(setRateResults_, defaultSetRate_);
  PrintLine(result.line);
  log_->calls.push_back({FakeCall::Kind::kSetBaudRate, rate, {}, result.ok});
  return result.ok;
}

bool FakeUpdateComm::Connect() {
  log_->calls.push_back({FakeCall::Kind::kConnect, 0, {}, connectResult_});
  return connectResult_;
}

bool FakeUpdateComm::Send(const uint8_t* data, int32_t length) {
  const FakeResult result = TakeNext(sendResults_, defaultSend_);
  PrintLine(result.line);
  lastSent_.assign(data, data + std::max<int32_t>(length, 0));
  log_->calls.push_back({FakeCall::Kind::kSend, length, lastSent_, result.ok});
  return result.ok;
}

void FakeUpdateComm::SetQuietMode(bool on) {
  log_->calls.push_back({FakeCall::Kind::kSetQuietMode, on ? 1 : 0, {}, true});
}

int32_t FakeUpdateComm::Receive(uint8_t* buffer, int32_t capacity) {
  FakeAnswer answer;
  if (!answers_.empty()) {
    answer = TakeNext(answers_, defaultAnswer_);
  } else if (responder_) {
    answer = responder_(lastSent_);
  } else {
    answer = defaultAnswer_;
  }
  PrintLine(answer.line);
  if (!answer.answered) {
    log_->calls.push_back({FakeCall::Kind::kReceive, capacity, {}, false});
    return answer.noAnswerResult;
  }
  const size_t copied =
      std::min(answer.bytes.size(), static_cast<size_t>(std::max(capacity, 0)));
  std::copy(answer.bytes.begin(),
            answer.bytes.begin() + static_cast<std::ptrdiff_t>(copied), buffer);
  log_->calls.push_back(
      {FakeCall::Kind::kReceive, capacity,
       std::vector<uint8_t>(
           answer.bytes.begin(),
           answer.bytes.begin() + static_cast<std::ptrdiff_t>(copied)),
       true});
  return static_cast<int32_t>(copied);
}

void FakeUpdateComm::Disconnect() {
  log_->calls.push_back({FakeCall::Kind::kDisconnect, 0, {}, true});
}

bool FakeUpdateComm::SetLinkBaudRate(int32_t rate) {
  log_->calls.push_back(
      {FakeCall::Kind::kSetLinkBaudRate, rate, {}, setLinkRateResult_});
  return setLinkRateResult_;
}

void FakeUpdateComm::DiscardLateAnswers() {
  log_->calls.push_back({FakeCall::Kind::kDiscardLateAnswers, 0, {}, true});
}

void FakeUpdateComm::WatchPairing(bool on) {
  log_->calls.push_back({FakeCall::Kind::kWatchPairing, on ? 1 : 0, {}, true});
}

bool FakeUpdateComm::AwaitQuietLine() {
  log_->calls.push_back({FakeCall::Kind::kAwaitQuietLine, 0, {}, quietLine_});
  return quietLine_;
}

std::vector<uint8_t> VersionAnswer(uint8_t result, uint8_t major, uint8_t minor,
                                   uint8_t patch, size_t length) {
  std::vector<uint8_t> answer = {0x43,   0x49,  0x54,  0x4D,  0xFF, 0x60,
                                 result, major, minor, patch, 0x00, 0x00,
                                 0x00,   0x00,  0x12,  0x34};
  answer.resize(length, 0x00);
  return answer;
}

std::vector<uint8_t> UpdateAnswer(uint8_t type, uint8_t status, size_t length) {
  std::vector<uint8_t> answer(std::max<size_t>(length, 18), 0x00);
  answer[0] = type;
  answer[17] = status;
  answer.resize(length);
  return answer;
}

}  // namespace modflash::testing
