// The link's watch over the pairing of requests and answers: the timing of
// the exchanges, and settling the line after a failure or a refusal.

#include <algorithm>
#include <chrono>
#include <utility>

#include "link/ethernet_update_comm.h"

namespace modflash {
namespace {

// Settling the line after a receive time-out, before a retry: an answer up
// to kLatenessCoveredMs after its request is thrown away. The line must be
// quiet for kSettleQuietMs and the request that long old; the settling ends
// after kSettleMaxMs in all, even on a line that never falls quiet.
constexpr int64_t kLatenessCoveredMs = 15000;
constexpr int64_t kSettleQuietMs = 10000;
constexpr int64_t kSettleMaxMs = 30000;
// After a refusal, unless answers are paired by address: the line must be
// quiet this long before the retry, so that the request's own answer (when
// the refusal was another request's) is thrown away, not read by the retry.
constexpr int64_t kRefusalQuietMs = 1000;
// While watching a transfer's pairing, an answer that comes in less than
// half the fastest of the recent exchanges is a stray. A slice's exchange at
// 115200 baud takes about 9 ms on the serial line, however busy the machine.
// A reader on the same machine answers in microseconds when it is idle, but
// under load (a busy Wine server most of all) its exchanges can take several
// milliseconds for a hundred slices before one comes in under one. The check
// is on while none of the recent exchanges was faster than
// kEarlyCheckFloor, which a serial line never is, and from the
// kEarlyCheckAfter'th exchange on, so that it covers the first slices; a
// fast exchange turns it off only until it is no longer recent.
constexpr auto kEarlyCheckFloor = std::chrono::milliseconds(8);
constexpr uint32_t kEarlyCheckAfter = 3;
/// An update answer's letter and status byte: a Status that is not 0
/// refuses its request.
constexpr uint8_t kStatusLetter = 'S';
constexpr int32_t kStatusOffset = 17;

int64_t MsUntil(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             t - std::chrono::steady_clock::now())
      .count();
}

}  // namespace

EthernetUpdateComm::Clock::duration EthernetUpdateComm::RecentPace() const {
  const uint32_t count = std::min(exchangesTimed_, kPaceWindow);
  Clock::duration fastest = recentExchanges_[0];
  for (uint32_t i = 1; i < count; ++i) {
    fastest = std::min(fastest, recentExchanges_[i]);
  }
  return fastest;
}

bool EthernetUpdateComm::ArrivedTooSoon(Clock::time_point arrived) const {
  if (!watching_ || !awaitingAnswer_ || answerTrusted_ ||
      exchangesTimed_ < kEarlyCheckAfter) {
    return false;
  }
  const Clock::duration pace = RecentPace();
  return pace >= kEarlyCheckFloor && arrived - requestSentAt_ < pace / 2;
}

void EthernetUpdateComm::TimeExchange() {
  if (!watching_ || !awaitingAnswer_) return;
  recentExchanges_[exchangesTimed_ % kPaceWindow] =
      messageArrivedAt_ - requestSentAt_;
  ++exchangesTimed_;
}

void EthernetUpdateComm::NoteEarlyAnswer(const uint8_t* answer,
                                         int32_t length) {
  ++anomalies_.earlyAnswers;
  if (length > kStatusOffset && answer[0] == kStatusLetter &&
      answer[kStatusOffset] != 0) {
    // The answer taken for the request before may have been a stray, and
    // this its refusal: that slice is sent again.
    ++anomalies_.earlyRefusals;
    if (resend_ == Resend::kNone) resend_ = Resend::kPrevious;
  }
}

bool EthernetUpdateComm::DrainUntilSettled(int64_t quietMs,
                                           int64_t coveredMs) {
  // A module a little late is the common case: its answer arrives during
  // this wait and is thrown away with anything else.
  const Clock::time_point start = Clock::now();
  const Clock::time_point giveUp =
      start + std::chrono::milliseconds(kSettleMaxMs);
  const Clock::time_point oldEnough =
      requestSentAt_ + std::chrono::milliseconds(coveredMs);
  Clock::time_point quietSince = start;
  bool arrived = DropInbox();
  uint8_t scratch[256];
  for (;;) {
    const Clock::time_point settled = std::max(
        quietSince + std::chrono::milliseconds(quietMs), oldEnough);
    const int64_t wait = std::min(MsUntil(settled), MsUntil(giveUp));
    if (wait <= 0) break;
    if (!net::WaitReadable(readerSocket_, static_cast<int>(wait))) continue;
    if (net::Recv(readerSocket_, scratch, sizeof scratch) <= 0) break;
    arrived = true;
    quietSince = Clock::now();
  }
  disturbedSinceSettle_ = false;
  awaitingAnswer_ = false;
  lineSettled_ = true;
  if (arrived) ++anomalies_.strayInput;
  return arrived;
}

void EthernetUpdateComm::DiscardLateAnswers() {
  if (disturbedSinceSettle_) {
    DrainUntilSettled(kSettleQuietMs, kLatenessCoveredMs);
  }
}

void EthernetUpdateComm::SettleAfterRefusal() {
  if (pairing_.proven()) return;
  if (DiscardWaitingInput()) ++anomalies_.strayInput;
  DrainUntilSettled(kRefusalQuietMs, 0);
  // The refusal may have been the answer to the slice before, whose
  // acceptance was then a stray: that one is sent again once this one is
  // taken.
  if (watching_ && resend_ == Resend::kNone) resend_ = Resend::kPrevious;
}

Resend EthernetUpdateComm::TakeResend() {
  Resend resend = std::exchange(resend_, Resend::kNone);
  if (pairing_.TakeDoubtBeforeProof()) resend = Resend::kFromStart;
  return resend;
}

void EthernetUpdateComm::WatchPairing(bool on) {
  watching_ = on;
  if (!on) return;
  anomalies_ = PairingAnomalies{};
  recentExchanges_ = {};
  exchangesTimed_ = 0;
  resend_ = Resend::kNone;
}

bool EthernetUpdateComm::AwaitQuietLine() {
  const bool waiting = DiscardWaitingInput();
  if (waiting) ++anomalies_.strayInput;
  return !DrainUntilSettled(kSettleQuietMs, kLatenessCoveredMs) && !waiting;
}

}  // namespace modflash
