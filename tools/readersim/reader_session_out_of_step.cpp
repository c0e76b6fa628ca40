// The out-of-step faults that reshape the line after the module's answers:
// noise bytes, an answer sent again in pieces, and the latency schedule.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>

#include "tools/readersim/reader_message.h"
#include "tools/readersim/reader_session.h"

namespace modflash::sim {

uint32_t ReaderSession::LatencyMs() const {
  uint32_t latency = options_.answerLatencyMs;
  for (const SimOptions::LatencyStep& step : options_.latencySchedule) {
    if (frameIndex_ >= step.fromFrame) latency = step.latencyMs;
  }
  return latency;
}

bool ReaderSession::HasLatency() const {
  return options_.answerLatencyMs != 0 || !options_.latencySchedule.empty();
}

// --resend-in-pieces, then --noise-after.
bool ReaderSession::SendLineFaults(const std::vector<Bytes>& answers) {
  const std::string which = "module frame " + std::to_string(frameIndex_);
  if (frameIndex_ == options_.piecesFrame && !answers.empty()) {
    Bytes wire;
    for (const Bytes& answer : answers) {
      const Bytes message =
          BuildReaderMessage(kTypeModuleData, answer.data(), answer.size());
      wire.insert(wire.end(), message.begin(), message.end());
    }
    const auto first = static_cast<std::ptrdiff_t>(
        std::min<size_t>(options_.piecesFirst, wire.size()));
    context_.log.Line("answer to " + which + " sent again in two pieces, " +
                      std::to_string(first) + " bytes, then the rest " +
                      std::to_string(options_.piecesGapMs) + " ms later");
    if (!SendRaw(Bytes(wire.begin(), wire.begin() + first))) return false;
    SleepUntil(Clock::now() + std::chrono::milliseconds(options_.piecesGapMs));
    if (first < static_cast<std::ptrdiff_t>(wire.size()) &&
        !SendRaw(Bytes(wire.begin() + first, wire.end()))) {
      return false;
    }
  }
  if (frameIndex_ == options_.noiseFrame) {
    SleepUntil(Clock::now() + std::chrono::milliseconds(options_.noiseGapMs));
    context_.log.Line(std::to_string(options_.noiseCount) +
                      " noise bytes sent " +
                      std::to_string(options_.noiseGapMs) +
                      " ms after the answer to " + which);
    if (!SendRaw(Bytes(options_.noiseCount, 0))) return false;
  }
  return true;
}

Bytes ReaderSession::AsModuleWould(Bytes answer) {
  std::lock_guard<std::mutex> lock(context_.mutex);
  context_.module.HideAddress(answer);
  return answer;
}

}  // namespace modflash::sim
