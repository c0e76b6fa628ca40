#ifndef MODFLASH_PROTOCOL_UPDATE_CONTROLLER_H_
#define MODFLASH_PROTOCOL_UPDATE_CONTROLLER_H_

#include <chrono>
#include <cstdint>
#include <memory>

#include "contract/phases.h"
#include "link/update_comm.h"

namespace modflash {

/// Module command codes.
inline constexpr uint8_t kCommandGetVersion = 0x60;
inline constexpr uint8_t kCommandPrepareUpdate = 0x55;

/// Update packet types.
inline constexpr uint8_t Update_EnterUpdateMode = 2;
inline constexpr uint8_t Update_SendCode = 3;
inline constexpr uint8_t Update_Complete = 4;

/// First flash address of the module's code area (its output names
/// addresses from there).
inline constexpr uint32_t kFlashBase = output::kFlashBase;

/// The one object through which the update sequence talks to the RF module:
/// owns the reader link, builds frames and packets in its send area and
/// judges the answers in its answer area.
class UpdateController {
 public:
  /// Talks to the module through `link`, which the caller made (and
  /// connected, or tried to).
  explicit UpdateController(std::unique_ptr<UpdateComm> link);
  ~UpdateController();
  UpdateController(const UpdateController&) = delete;
  UpdateController& operator=(const UpdateController&) = delete;

  /// The rate at which the module answered a version probe, or -1.
  int32_t AutoBaud();
  bool GetBaudRate(int32_t& rate);
  bool SetBaudRate(int32_t rate);
  /// Version outputs are written only on success.
  bool GetFirmwareVersion(uint8_t& major, uint8_t& minor, uint8_t& patch);
  /// Asks the module to prepare for an update; true once the request went out.
  bool InitiateFirmwareUpdate();
  void Delay(uint32_t ms);
  void SetQuietMode(bool on);
  /// Disconnects and destroys the link; afterwards the controller is unlinked.
  void CloseLink();

  /// True once the module reports that it is in update mode. Gives up after
  /// 32 answers without a Status, or once the exchange has taken the time
  /// limit (60 s).
  bool EnterUpdateMode();
  /// Shortens EnterUpdateMode's time limit (tests).
  void SetEntryTimeLimit(std::chrono::milliseconds limit) {
    entryTimeLimit_ = limit;
  }
  /// Delivers `length` (at most 32) code bytes to `flashAddress`.
  bool SendCodePacket(uint32_t flashAddress, const uint8_t* data,
                      uint32_t length, bool testMode);
  bool ExitUpdateMode(bool testMode);

  /// Starts a transfer: from here the link judges each answer's timing
  /// against the transfer's own exchanges and counts what looks out of step.
  void BeginTransfer();
  /// Ends the transfer's watch. True when its answers can be trusted to
  /// belong to their requests: nothing looked out of step, or, when
  /// something did, no answer arrived once the line was given time to fall
  /// quiet (an answer then means one was read against the wrong request).
  bool TransferStayedInStep();
  /// What the transfer must send again before it goes on (asked once
  /// after each slice is accepted).
  Resend TakeResend();
  /// True once the module's answers are paired with their requests by the
  /// address they echo.
  bool PairsByAddress() const;
  /// After TransferStayedInStep: whether the transfer met anything out of
  /// step (refusals alone are the module's own verdict, not counted here).
  bool OutOfStepSeen() const { return outOfStepSeen_; }
  /// After version polls that went unanswered: lets a late answer arrive and
  /// throws it away, so that it is not read by the next request.
  void DiscardLateAnswers();

  /// Builds a 16-byte module command frame; false (nothing changed) for more
  /// than 8 data bytes.
  bool PrepModuleCommand(uint8_t command, const uint8_t* data, uint8_t length);
  /// Builds a 64-byte update packet with `length` (at most 49) payload bytes.
  bool PrepUpdatePacket(uint8_t type, const uint8_t* payload, uint32_t length);

  const uint8_t* sendArea() const { return sendBuffer_; }
  uint8_t sendLength() const { return sendLength_; }
  bool hasLink() const { return link_ != nullptr; }

 private:
  /// Reads one answer into the answer area; its length, below 1 for none.
  int32_t ReceiveAnswer();
  /// After a slice's answer that no slice would give: notes it and lets the
  /// line fall quiet before the retry.
  void SettleAfterOddAnswer();

  /// One answer of the update-mode exchange: news, the entry, or the end of
  /// the exchange (its line printed).
  enum class EntryAnswer { kNews, kEntered, kFailed };
  EntryAnswer ReadEntryAnswer();
  /// An answer to an update packet: a Status with its status byte, none, or
  /// one that no Status would be (its line printed, naming `operation`).
  enum class StatusAnswer { kStatus, kNone, kOdd };
  StatusAnswer ReadStatusAnswer(const char* operation, uint8_t& status);

  uint8_t sendBuffer_[64] = {};
  uint8_t answerBuffer_[64] = {};
  uint8_t sendLength_ = 0;
  std::unique_ptr<UpdateComm> link_;
  std::chrono::milliseconds entryTimeLimit_{60000};
  /// The transfer met an answer that no slice would give.
  bool oddAnswerInTransfer_ = false;
  /// Slices the transfer saw refused.
  uint32_t refusalsInTransfer_ = 0;
  bool outOfStepSeen_ = false;
};

}  // namespace modflash

#endif  // MODFLASH_PROTOCOL_UPDATE_CONTROLLER_H_
