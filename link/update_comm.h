#ifndef MODFLASH_LINK_UPDATE_COMM_H_
#define MODFLASH_LINK_UPDATE_COMM_H_

#include <cstdint>

namespace modflash {

/// What the link noticed that may mean an answer was read against the wrong
/// request. Unless the module echoes its requests' addresses, update answers
/// carry nothing that names their request, so these are the only signs that
/// requests and answers fell out of step.
struct PairingAnomalies {
  /// Receives that timed out.
  uint32_t timeouts = 0;
  /// Input that nobody asked for: found waiting before a request went out,
  /// or arriving while the line settled after a time-out.
  uint32_t strayInput = 0;
  /// Answers that came implausibly soon after their request (not taken).
  uint32_t earlyAnswers = 0;
  /// Of those, refusals (a Status that is not 0): the request whose answer
  /// was taken before may not have been accepted.
  uint32_t earlyRefusals = 0;
  /// Receives that failed other than by a time-out (a malformed message,
  /// noise on the line).
  uint32_t receiveErrors = 0;
  /// Answers that carried another request's address (not taken).
  uint32_t misaddressed = 0;

  bool Any() const {
    return timeouts + strayInput + earlyAnswers + receiveErrors +
               misaddressed !=
           0;
  }
};

/// What the sender should send again before it trusts the slices sent so
/// far.
enum class Resend {
  kNone,
  kPrevious,   ///< the slice before the current one
  kFromStart,  ///< every slice from the first
};

/// The link through which the programmer reaches the RF module: carries
/// module frames and their answers, reads and sets the module's serial baud
/// rate, and supplies the pauses of the update sequence.
class UpdateComm {
 public:
  virtual ~UpdateComm() = default;

  /// Blocks the calling thread for at least `ms` milliseconds.
  virtual void Delay(uint32_t ms) = 0;
  /// True with `rate` filled in; false (rate untouched) after printing why.
  virtual bool GetBaudRate(int32_t& rate) = 0;
  /// Only 115200, 230400, 460800 and 921600 are valid; true once confirmed.
  virtual bool SetBaudRate(int32_t rate) = 0;
  virtual bool Connect() = 0;
  /// Sends one module frame; does not wait for an answer.
  virtual bool Send(const uint8_t* data, int32_t length) = 0;
  /// Brackets stretches in which the module is expected to be silent.
  virtual void SetQuietMode(bool on) = 0;
  /// Copies the next answer's payload (at most `capacity` bytes) into
  /// `buffer` and returns its length; below 1 means no answer (the link has
  /// printed why).
  virtual int32_t Receive(uint8_t* buffer, int32_t capacity) = 0;
  virtual void Disconnect() = 0;
  /// Sets the rate at which the link itself talks to the module.
  virtual bool SetLinkBaudRate(int32_t rate) = 0;
  /// Called before a request is retried: when a Receive failed since the
  /// line last settled, reads and throws away whatever the reader still
  /// sends until the line has been quiet for long enough that a late answer
  /// cannot be taken for the answer to the retry. Otherwise does nothing.
  virtual void DiscardLateAnswers() {}
  /// On: forgets the anomalies and exchange times seen so far and starts
  /// judging each answer's timing against the exchanges that follow (an
  /// answer far sooner than any before it is a stray, not taken). Off: stops
  /// judging timing; the anomalies are kept.
  virtual void WatchPairing(bool /*on*/) {}
  virtual PairingAnomalies Anomalies() const { return {}; }
  /// Waits until the line has been quiet for long enough that any answer
  /// still owed to the last request would have arrived, throwing away what
  /// comes. True when nothing came (or was waiting).
  virtual bool AwaitQuietLine() { return true; }
  /// Called after a request was refused: unless answers are paired by
  /// address, lets the line fall quiet for a moment, so that the request's
  /// own answer, when the refusal was a stray, is not read by the retry.
  virtual void SettleAfterRefusal() {}
  /// True once the module has shown that its answers echo their requests'
  /// addresses: from then on every answer taken is its request's own.
  virtual bool PairsByAddress() const { return false; }
  /// What is to be sent again, once; kNone when nothing is.
  virtual Resend TakeResend() { return Resend::kNone; }
};

}  // namespace modflash

#endif  // MODFLASH_LINK_UPDATE_COMM_H_
