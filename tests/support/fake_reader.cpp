#include "tests/support/fake_reader.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "link/reader_framing.h"

namespace modflash::testing {
namespace {

using Clock = std::chrono::steady_clock;

// How long one wait for readable data lasts before the stop flag is looked
// at again.
constexpr int kSliceMs = 20;

}  // namespace

std::vector<uint8_t> ReaderMessage(uint8_t type,
                                   const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> message(payload.size() + framing::kOverhead);
  framing::Frame(type, payload.data(), payload.size(), message.data());
  return message;
}

FakeReaderScript& FakeReaderScript::AwaitBytes(size_t count) {
  Step step(Kind::kAwaitBytes);
  step.count = count;
  steps_.push_back(std::move(step));
  return *this;
}

FakeReaderScript& FakeReaderScript::AwaitMessage() {
  steps_.emplace_back(Kind::kAwaitMessage);
  return *this;
}

FakeReaderScript& FakeReaderScript::Reply(std::vector<uint8_t> bytes) {
  Step step(Kind::kReply);
  step.bytes = std::move(bytes);
  steps_.push_back(std::move(step));
  return *this;
}

FakeReaderScript& FakeReaderScript::ReplyBytewise(std::vector<uint8_t> bytes,
                                                  int gapMs) {
  Step step(Kind::kReply);
  step.bytes = std::move(bytes);
  step.gapMs = std::max(gapMs, 0);
  steps_.push_back(std::move(step));
  return *this;
}

FakeReaderScript& FakeReaderScript::Pause(int ms) {
  Step step(Kind::kPause);
  step.ms = ms;
  steps_.push_back(std::move(step));
  return *this;
}

FakeReaderScript& FakeReaderScript::HoldOpen(int ms) {
  Step step(Kind::kHold);
  step.ms = ms;
  steps_.push_back(std::move(step));
  return *this;
}

FakeReaderScript& FakeReaderScript::CloseConnection() {
  steps_.emplace_back(Kind::kClose);
  return *this;
}

FakeReader::FakeReader(FakeReaderScript script) : script_(std::move(script)) {
  listener_ = net::ListenLoopback(0, &port_);
  if (listener_ == net::kInvalidSocket) port_ = 0;
  thread_ = std::thread([this] { Run(); });
}

FakeReader::~FakeReader() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<uint8_t> FakeReader::Finish() {
  if (thread_.joinable()) thread_.join();
  return Received();
}

std::vector<uint8_t> FakeReader::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

size_t FakeReader::ReceivedSize() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_.size();
}

bool FakeReader::ReadSome(int waitMs) {
  if (!net::WaitReadable(connection_, waitMs)) return true;
  uint8_t chunk[4096];
  const int got = net::Recv(connection_, chunk, sizeof chunk);
  if (got <= 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  received_.insert(received_.end(), chunk, chunk + got);
  return true;
}

template <typename Ready>
bool FakeReader::ReadUntil(Ready ready) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kGuardMs);
  while (!ready()) {
    if (stop_ || Clock::now() > deadline) return false;
    if (!ReadSome(kSliceMs)) return ready();
  }
  return true;
}

void FakeReader::Run() {
  if (listener_ == net::kInvalidSocket) return;
  const auto acceptDeadline =
      Clock::now() + std::chrono::milliseconds(kGuardMs);
  while (!net::WaitReadable(listener_, kSliceMs)) {
    if (stop_ || Clock::now() > acceptDeadline) {
      net::Close(listener_);
      return;
    }
  }
  connection_ = net::Accept(listener_);
  net::Close(listener_);
  if (connection_ == net::kInvalidSocket) return;

  // Sleeps `ms`, looking at the stop flag every slice.
  auto sleep = [this](int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!stop_ && Clock::now() < until) {
      std::this_thread::sleep_for(std::min<Clock::duration>(
          std::chrono::milliseconds(kSliceMs), until - Clock::now()));
    }
  };

  size_t cursor = 0;  // End of what the awaits have consumed.
  bool clientClosed = false;
  bool ok = true;
  bool closedByScript = false;
  for (const FakeReaderScript::Step& step : script_.steps_) {
    if (!ok || stop_) {
      ok = false;
      break;
    }
    switch (step.kind) {
      case FakeReaderScript::Kind::kAwaitBytes:
        cursor += step.count;
        ok = ReadUntil([&] { return ReceivedSize() >= cursor; });
        break;
      case FakeReaderScript::Kind::kAwaitMessage: {
        ok = ReadUntil(
            [&] { return ReceivedSize() >= cursor + framing::kHeadLength; });
        if (!ok) break;
        size_t length;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          length = static_cast<size_t>(received_[cursor + 2]) << 8 |
                   received_[cursor + 3];
        }
        cursor += std::max<size_t>(length, framing::kHeadLength);
        ok = ReadUntil([&] { return ReceivedSize() >= cursor; });
        break;
      }
      case FakeReaderScript::Kind::kReply:
        if (step.gapMs < 0) {
          ok = net::SendAll(connection_, step.bytes.data(),
                            static_cast<int>(step.bytes.size()));
        } else {
          for (size_t i = 0; ok && i < step.bytes.size(); ++i) {
            if (i > 0) sleep(step.gapMs);
            ok = net::SendAll(connection_, &step.bytes[i], 1);
          }
        }
        break;
      case FakeReaderScript::Kind::kPause:
        sleep(step.ms);
        break;
      case FakeReaderScript::Kind::kHold: {
        const auto until = Clock::now() + std::chrono::milliseconds(step.ms);
        while (!stop_ && Clock::now() < until) {
          if (clientClosed) {
            sleep(kSliceMs);
          } else if (!ReadSome(kSliceMs)) {
            clientClosed = true;
          }
        }
        break;
      }
      case FakeReaderScript::Kind::kClose:
        closedByScript = true;
        break;
    }
    if (closedByScript) break;
  }
  if (!closedByScript && !clientClosed) {
    // Record everything up to the client's close, then close gracefully.
    ReadUntil([] { return false; });
  }
  net::Close(connection_);
  completed_ = ok && !stop_;
}

}  // namespace modflash::testing
