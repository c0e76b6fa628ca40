#ifndef MODFLASH_LINK_UPDATE_COMM_H_
#define MODFLASH_LINK_UPDATE_COMM_H_

#include <cstdint>

namespace modflash {

/// What the link noticed that may mean an answer was read against the wrong
/// request. Update answers carry nothing that names their request, so these
/// are the only signs that requests and answers fell out of step.
struct PairingAnomalies {
  /// Receives that timed out.
  uint32_t timeouts = 0;
  /// Input that nobody asked for: found waiting before a request went out,
  /// or arriving while the line settled after a time-out.
  uint32_t strayInput = 0;
  /// Answers that came implausibly soon after their request (not taken).
  uint32_t earlyAnswers = 0;

  bool Any() const { return timeouts + strayInput + earlyAnswers != 0; }
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
  /// Called before a request is retried: when a Receive timed out since the
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
};

}  // namespace modflash

#endif  // MODFLASH_LINK_UPDATE_COMM_H_
