#ifndef MODFLASH_LINK_ANSWER_PAIRING_H_
#define MODFLASH_LINK_ANSWER_PAIRING_H_

#include <cstdint>

namespace modflash {

/// Pairs update answers with their requests by the flash address that many
/// modules echo at answer bytes 13-16 (the place it has in the request).
/// Whether this module echoes is learnt from the run itself: once
/// kAnswersToProve answers in a row carried exactly their own request's
/// address, each a different one, the echo is proven, and from then on an
/// answer with another address is a stray. A module that puts zeros, a
/// constant or anything else there never proves it and is judged as before
/// (by timing alone).
class AnswerPairing {
 public:
  static constexpr int kAnswersToProve = 4;

  enum class Verdict {
    kTake,   ///< the request's answer, as far as the address tells
    kStray,  ///< the answer to another request: not taken
  };

  /// A module frame of `length` bytes went out; only 64-byte update packets
  /// are judged.
  void NoteRequest(const uint8_t* frame, int32_t length);
  /// Judges an answer of `length` payload bytes to the last request.
  /// `trusted`: the line settled before the request, so the first answer
  /// can only be its own (an unproven echo then takes it whatever it says).
  Verdict Judge(const uint8_t* answer, int32_t length, bool trusted);
  bool proven() const { return proven_; }
  /// True once, after the echo was proven, when an answer taken before the
  /// proof carried an address other than its request's: that answer may
  /// have been a stray, so the slices sent so far are not proven written.
  bool TakeDoubtBeforeProof();

 private:
  void Learn(uint32_t address);

  bool requestIsPacket_ = false;
  uint32_t request_ = 0;
  /// The address of the request before the last one with another address.
  uint32_t previous_ = 0;
  bool haveRequest_ = false;
  int streak_ = 0;
  uint32_t lastOwn_ = 0;
  bool proven_ = false;
  bool takenOther_ = false;
  bool doubt_ = false;
};

}  // namespace modflash

#endif  // MODFLASH_LINK_ANSWER_PAIRING_H_
