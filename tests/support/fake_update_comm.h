#ifndef MODFLASH_TESTS_SUPPORT_FAKE_UPDATE_COMM_H_
#define MODFLASH_TESTS_SUPPORT_FAKE_UPDATE_COMM_H_

// A scripted, recording stand-in for the reader link.
//
// Typical use:
//
//   auto fake = std::make_unique<FakeUpdateComm>();
//   auto log = fake->log();                    // outlives the fake
//   fake->QueueAnswer(StatusAnswer(0x0E));     // next Receive gets this
//   fake->QueueNoAnswer("timeout\n");          // then one with no answer
//   UpdateController controller(std::move(fake));
//   ... drive the controller ...
//   EXPECT_EQ(log->Trace(), "Send[64] Receive(64) Receive(64)");
//   EXPECT_EQ(log->SentFrames()[0][7], 2);
//
// Receive takes its answer from, in this order: the queue (QueueAnswer /
// QueueNoAnswer), the responder (SetResponder, called with the last frame
// sent, the cheap way to answer thousands of packets), the default answer
// (SetDefaultAnswer; initially "no answer" with result 0 and no text).
//
// GetBaudRate, SetBaudRate, Send and SetLinkBaudRate results work the same
// way: a queue of one-shot results, then a default (Send, GetBaudRate and
// SetBaudRate succeed by default, GetBaudRate reporting 115200;
// SetLinkBaudRate returns false, as the Ethernet link does). A scripted `line`
// is printed to std::cout as given (include the "\n") when that result is used,
// as the real link prints its own diagnostics.
//
// Every call, including the destruction of the fake, is appended to the
// shared FakeLinkLog. Delay records its milliseconds and never sleeps.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/update_comm.h"

namespace modflash::testing {

/// What one Receive delivers.
struct FakeAnswer {
  /// The answer's payload (used when `answered`).
  std::vector<uint8_t> bytes;
  bool answered = true;
  /// Result of an unanswered Receive (0 or negative).
  int32_t noAnswerResult = 0;
  /// Printed when this answer is used.
  std::string line;

  static FakeAnswer Of(std::vector<uint8_t> payload);
  static FakeAnswer None(std::string text = {}, int32_t result = 0);
};

/// A scripted outcome of Send or SetBaudRate.
struct FakeResult {
  bool ok = true;
  std::string line;
};

/// A scripted outcome of GetBaudRate.
struct FakeRateResult {
  bool ok = true;
  int32_t rate = 115200;
  std::string line;
};

/// One recorded call on the fake.
struct FakeCall {
  enum class Kind {
    kDelay,
    kGetBaudRate,
    kSetBaudRate,
    kConnect,
    kSend,
    kSetQuietMode,
    kReceive,
    kDisconnect,
    kSetLinkBaudRate,
    kDestroyed,
    kDiscardLateAnswers,
    kWatchPairing,
    kAwaitQuietLine,
  };
  Kind kind;
  /// Delay: ms; SetBaudRate / SetLinkBaudRate: rate; SetQuietMode: 0 or 1;
  /// Receive: the capacity passed; Send: the length passed; GetBaudRate:
  /// the rate reported (0 on failure).
  int64_t value = 0;
  /// Send: the frame; Receive: what was copied to the caller.
  std::vector<uint8_t> bytes;
  /// The call's result (Receive: answered; Send etc.: the bool returned).
  bool ok = true;
};

/// The record of everything done to one fake, shared so that it survives
/// the fake's destruction.
class FakeLinkLog {
 public:
  std::vector<FakeCall> calls;
  bool destroyed = false;

  /// Frames passed to Send, failed sends included, in order.
  std::vector<std::vector<uint8_t>> SentFrames() const;
  size_t Count(FakeCall::Kind kind) const;
  /// Sum of all Delay milliseconds.
  uint64_t TotalDelayMs() const;
  /// The calls as one line, e.g. "SetQuietMode(on) SetLinkBaudRate(921600)
  /// Send[16] Receive(64) Delay(500) Disconnect Destroyed". Send shows the
  /// length in brackets; an unanswered Receive shows "Receive(64)!", a
  /// failed Send "Send[16]!".
  std::string Trace() const;
};

class FakeUpdateComm : public UpdateComm {
 public:
  /// Called with the last frame sent (empty if none) when the receive
  /// queue is empty.
  using Responder = std::function<FakeAnswer(const std::vector<uint8_t>&)>;

  FakeUpdateComm();
  ~FakeUpdateComm() override;
  FakeUpdateComm(const FakeUpdateComm&) = delete;
  FakeUpdateComm& operator=(const FakeUpdateComm&) = delete;

  std::shared_ptr<FakeLinkLog> log() const { return log_; }

  // Receive scripting.
  void QueueAnswer(std::vector<uint8_t> payload);
  void QueueNoAnswer(std::string line = {}, int32_t result = 0);
  void Queue(FakeAnswer answer);
  void SetResponder(Responder responder);
  void SetDefaultAnswer(FakeAnswer answer);
  size_t PendingAnswers() const { return answers_.size(); }

  // Other results: one-shot queues, then the defaults.
  void QueueSendResult(FakeResult result);
  void SetDefaultSendResult(FakeResult result);
  void QueueGetBaudRateResult(FakeRateResult result);
  void SetDefaultGetBaudRateResult(FakeRateResult result);
  void QueueSetBaudRateResult(FakeResult result);
  void SetDefaultSetBaudRateResult(FakeResult result);
  void SetDefaultSetLinkBaudRateResult(bool ok);
  void SetConnectResult(bool ok) { connectResult_ = ok; }
  /// What Anomalies() reports (nothing out of step by default).
  void SetAnomalies(PairingAnomalies anomalies) { anomalies_ = anomalies; }
  /// What AwaitQuietLine() returns (true by default).
  void SetQuietLine(bool quiet) { quietLine_ = quiet; }

  void Delay(uint32_t ms) override;
  bool GetBaudRate(int32_t& rate) override;
  bool SetBaudRate(int32_t rate) override;
  bool Connect() override;
  bool Send(const uint8_t* data, int32_t length) override;
  void SetQuietMode(bool on) override;
  int32_t Receive(uint8_t* buffer, int32_t capacity) override;
  void Disconnect() override;
  bool SetLinkBaudRate(int32_t rate) override;
  void DiscardLateAnswers() override;
  void WatchPairing(bool on) override;
  PairingAnomalies Anomalies() const override { return anomalies_; }
  bool AwaitQuietLine() override;

 private:
  std::shared_ptr<FakeLinkLog> log_;
  std::deque<FakeAnswer> answers_;
  Responder responder_;
  FakeAnswer defaultAnswer_ = FakeAnswer::None();
  std::deque<FakeResult> sendResults_;
  FakeResult defaultSend_;
  std::deque<FakeRateResult> getRateResults_;
  FakeRateResult defaultGetRate_;
  std::deque<FakeResult> setRateResults_;
  FakeResult defaultSetRate_;
  bool setLinkRateResult_ = false;
  bool connectResult_ = true;
  PairingAnomalies anomalies_;
  bool quietLine_ = true;
  std::vector<uint8_t> lastSent_;
};

/// A 16-byte answer to the version command: result byte at 6, version at 7,
/// 8 and 9; `length` cuts or pads it (with zeros).
std::vector<uint8_t> VersionAnswer(uint8_t result, uint8_t major, uint8_t minor,
                                   uint8_t patch, size_t length = 16);

/// An update answer of type `type` with `status` at byte 17, `length` bytes
/// long (cut short when below 18).
std::vector<uint8_t> UpdateAnswer(uint8_t type, uint8_t status,
                                  size_t length = 20);

/// A Status ('S') update answer carrying `status`.
inline std::vector<uint8_t> StatusAnswer(uint8_t status) {
  return UpdateAnswer('S', status);
}

}  // namespace modflash::testing

#endif  // MODFLASH_TESTS_SUPPORT_FAKE_UPDATE_COMM_H_
