// The values of the out-of-step faults that reshape the line: noise after an
// answer, an answer sent again in pieces, a latency that changes part-way
// and a module that does not echo its requests' addresses.

#include <string>
#include <vector>

#include "tools/readersim/option_values.h"

namespace modflash::sim {
namespace {

constexpr uint32_t kMaxGapMs = 10000;
constexpr uint32_t kMaxPieceBytes = 64;
constexpr uint32_t kMaxLatencyMs = 1000;

// N[:A[:GAP]] with A from 1 to `maxA`; `a` and `gap` keep their values when
// not given.
bool TakeFrameCountGap(const std::string& text, uint32_t maxA,
                       uint32_t& frame, uint32_t& a, uint32_t& gap) {
  const std::vector<std::string> f = Split(text, ':');
  uint32_t n = 0;
  uint32_t count = a;
  uint32_t g = gap;
  if (f.size() > 3 || !TakeNumberField(f[0], 0xFFFFFFFFu, n) ||
      (f.size() >= 2 && (!TakeNumberField(f[1], maxA, count) || count == 0)) ||
      (f.size() == 3 && !TakeNumberField(f[2], kMaxGapMs, g))) {
    return false;
  }
  frame = n;
  a = count;
  gap = g;
  return true;
}

}  // namespace

std::string ParseNoiseAfter(const std::string& text, SimOptions& o) {
  if (TakeFrameCountGap(text, kMaxPieceBytes, o.noiseFrame, o.noiseCount,
                        o.noiseGapMs)) {
    return "";
  }
  return "is not N[:COUNT[:GAP]] with COUNT from 1 to 64 and GAP from 0 to "
         "10000";
}

std::string ParseResendInPieces(const std::string& text, SimOptions& o) {
  if (TakeFrameCountGap(text, kMaxPieceBytes, o.piecesFrame, o.piecesFirst,
                        o.piecesGapMs)) {
    return "";
  }
  return "is not N[:FIRST[:GAP]] with FIRST from 1 to 64 and GAP from 0 to "
         "10000";
}

std::string ParseLatencySchedule(const std::string& text, SimOptions& o) {
  std::vector<SimOptions::LatencyStep> steps;
  for (const std::string& step : Split(text, ',')) {
    const std::vector<std::string> f = Split(step, ':');
    SimOptions::LatencyStep s;
    if (f.size() != 2 || !TakeNumberField(f[0], 0xFFFFFFFFu, s.fromFrame) ||
        s.fromFrame == 0 ||
        !TakeNumberField(f[1], kMaxLatencyMs, s.latencyMs) ||
        (!steps.empty() && s.fromFrame <= steps.back().fromFrame)) {
      return "is not N:MS[,N:MS...] with N from 1, rising, and MS from 0 to "
             "1000";
    }
    steps.push_back(s);
  }
  o.latencySchedule = steps;
  return "";
}

std::string ParseNoAddressEcho(const std::string& text, SimOptions& o) {
  if (text == "zeros") {
    o.addressEcho = SimOptions::AddressEcho::kZeros;
  } else if (text == "constant") {
    o.addressEcho = SimOptions::AddressEcho::kConstant;
  } else if (text == "random") {
    o.addressEcho = SimOptions::AddressEcho::kRandom;
  } else {
    return "is not zeros, constant or random";
  }
  return "";
}

}  // namespace modflash::sim
