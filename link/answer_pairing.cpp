#include "link/answer_pairing.h"

namespace modflash {
namespace {

constexpr int32_t kUpdatePacketLength = 64;
constexpr uint8_t kUpdatePacketStart = 0x55;
/// Where a request and its answer carry the flash address.
constexpr int32_t kAddressOffset = 13;
constexpr int32_t kAddressEnd = kAddressOffset + 4;

uint32_t AddressAt(const uint8_t* data) {
  const uint8_t* a = data + kAddressOffset;
  return static_cast<uint32_t>(a[0]) | (static_cast<uint32_t>(a[1]) << 8) |
         (static_cast<uint32_t>(a[2]) << 16) |
         (static_cast<uint32_t>(a[3]) << 24);
}

}  // namespace

void AnswerPairing::NoteRequest(const uint8_t* frame, int32_t length) {
  requestIsPacket_ = frame != nullptr && length == kUpdatePacketLength &&
                     frame[0] == kUpdatePacketStart;
  if (!requestIsPacket_) return;
  const uint32_t address = AddressAt(frame);
  if (haveRequest_ && address == request_) return;  // a retry
  previous_ = haveRequest_ ? request_ : 0;
  request_ = address;
  haveRequest_ = true;
}

void AnswerPairing::Learn(uint32_t address) {
  if (streak_ == 0 || address != lastOwn_) ++streak_;
  lastOwn_ = address;
  if (streak_ < kAnswersToProve) return;
  proven_ = true;
  doubt_ = takenOther_;
}

AnswerPairing::Verdict AnswerPairing::Judge(const uint8_t* answer,
                                            int32_t length, bool trusted) {
  if (!requestIsPacket_) return Verdict::kTake;
  if (length < kAddressEnd) {
    // Nothing to judge by; such an answer carries no status that accepts.
    if (!proven_) streak_ = 0;
    return Verdict::kTake;
  }
  const uint32_t address = AddressAt(answer);
  if (address == request_) {
    if (!proven_) Learn(address);
    return Verdict::kTake;
  }
  if (proven_) return Verdict::kStray;
  streak_ = 0;
  // Exactly the address of the request before: the answer to that one,
  // read late (a duplicate, or a slip). After the line settled it can only
  // be this request's, so a module with a constant there is not stalled.
  if (!trusted && previous_ != 0 && address == previous_) {
    return Verdict::kStray;
  }
  takenOther_ = true;
  return Verdict::kTake;
}

bool AnswerPairing::TakeDoubtBeforeProof() {
  const bool doubt = doubt_;
  doubt_ = false;
  takenOther_ = false;
  return doubt;
}

}  // namespace modflash
