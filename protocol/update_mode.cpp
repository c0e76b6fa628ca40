// The update-mode exchange: entering update mode, delivering code slices and
// completing the update.

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include "contract/output_lines.h"
#include "protocol/update_controller.h"

namespace modflash {

namespace {

constexpr uint8_t kBeginPacket = 'B';
constexpr uint8_t kFirmwareUpdateCfgPacket = 'F';
constexpr uint8_t kEndPacket = 'E';
constexpr uint8_t kStatusPacket = 'S';

/// Offset of the status byte in an update answer; an answer must be longer
/// than it to carry one.
constexpr int kStatusOffset = 17;
constexpr int32_t kMinStatusAnswerLength = kStatusOffset + 1;

constexpr uint8_t kEnteredUpdateMode = 0x0E;
constexpr uint8_t kSliceAccepted = 0x00;
constexpr uint8_t kUpdateComplete = 0x09;
constexpr uint8_t kTestUpdateComplete = 0x0A;

/// A module that keeps answering the update-mode request without ever
/// sending its Status is given up on after this many answers.
constexpr int kMaxAnswersWithoutStatus = 32;

constexpr uint32_t kMaxSliceLength = 32;
constexpr uint32_t kSliceHeaderLength = 12;

/// Payload of the packet that switches the module into update mode.
constexpr uint32_t updateModeCommand = 0;

/// A status byte as two upper-case hexadecimal digits.
std::string Hex(uint8_t value) {
  char text[10];
  std::snprintf(text, sizeof(text), "%02X", static_cast<unsigned>(value));
  return text;
}

/// Reports a Status answer too short to carry its status byte.
void ReportShortStatus(const char* operation, int32_t received) {
  std::cout << output::kShortStatus << operation << ": " << received
            << output::kBytes << "\n"
            << std::flush;
}

}  // namespace

bool UpdateController::EnterUpdateMode() {
  if (!link_) return false;
  uint8_t payload[4];
  for (int i = 0; i < 4; ++i) {
    payload[i] = static_cast<uint8_t>((updateModeCommand >> (8 * i)) & 0xFFu);
  }
  PrepUpdatePacket(Update_EnterUpdateMode, payload, 4);
  if (!link_->Send(sendBuffer_, sendLength_)) return false;
  const auto start = std::chrono::steady_clock::now();
  for (int answers = 0;; ++answers) {
    // Begin, FirmwareUpdateCfg and End answers are only news; without a
    // Status in the end the request has failed.
    if (answers == kMaxAnswersWithoutStatus) {
      std::cout << output::kEntryGaveUp << kMaxAnswersWithoutStatus
                << output::kTooManyNews << "\n"
                << std::flush;
      return false;
    }
    if (answers > 0 &&
        std::chrono::steady_clock::now() - start >= entryTimeLimit_) {
      std::cout << output::kEntryGaveUp << output::kNoStatusWithin
                << entryTimeLimit_.count() / 1000 << output::kSeconds << "\n"
                << std::flush;
      return false;
    }
    const EntryAnswer answer = ReadEntryAnswer();
    if (answer != EntryAnswer::kNews) return answer == EntryAnswer::kEntered;
  }
}

UpdateController::EntryAnswer UpdateController::ReadEntryAnswer() {
  const int32_t received = ReceiveAnswer();
  if (received <= 0) {
    std::cout << output::kReadError << output::kOpEnterUpdateMode << "\n"
              << std::flush;
    return EntryAnswer::kFailed;
  }
  switch (answerBuffer_[0]) {
    case kBeginPacket:
      std::cout << output::kEntryNews << output::kBeginNews << "\n"
                << std::flush;
      return EntryAnswer::kNews;
    case kFirmwareUpdateCfgPacket:
      std::cout << output::kEntryNews << output::kConfigNews << "\n"
                << std::flush;
      return EntryAnswer::kNews;
    case kEndPacket:
      std::cout << output::kEntryNews << output::kEndNews << "\n" << std::flush;
      return EntryAnswer::kNews;
    case kStatusPacket:
      break;
    default:
      std::cout << output::kEntryOddAnswer
                << static_cast<char>(answerBuffer_[0]) << "\n"
                << std::flush;
      return EntryAnswer::kFailed;
  }
  if (received < kMinStatusAnswerLength) {
    ReportShortStatus(output::kOpEnterUpdateMode, received);
    return EntryAnswer::kFailed;
  }
  std::cout << output::kEntryNews << output::kStatusNews << "\n" << std::flush;
  if (answerBuffer_[kStatusOffset] == kEnteredUpdateMode) {
    std::cout << output::kEntered << "\n" << std::flush;
    return EntryAnswer::kEntered;
  }
  std::cout << output::kEntryRefused
            << static_cast<char>(answerBuffer_[kStatusOffset]) << "\n"
            << std::flush;
  return EntryAnswer::kFailed;
}

UpdateController::StatusAnswer UpdateController::ReadStatusAnswer(
    const char* operation, uint8_t& status) {
  const int32_t received = ReceiveAnswer();
  if (received <= 0) {
    std::cout << output::kReadError << operation << "\n" << std::flush;
    return StatusAnswer::kNone;
  }
  if (answerBuffer_[0] != kStatusPacket) {
    std::cout << operation << output::kOddAnswer
              << Hex(answerBuffer_[kStatusOffset]) << "\n";
    return StatusAnswer::kOdd;
  }
  if (received < kMinStatusAnswerLength) {
    ReportShortStatus(operation, received);
    return StatusAnswer::kOdd;
  }
  status = answerBuffer_[kStatusOffset];
  return StatusAnswer::kStatus;
}

bool UpdateController::SendCodePacket(uint32_t flashAddress,
                                      const uint8_t* data, uint32_t length,
                                      bool testMode) {
  if (!link_) return false;
  if (length > kMaxSliceLength) return false;
  uint8_t packetData[64] = {};
  for (int i = 0; i < 4; ++i) {
    packetData[i] = static_cast<uint8_t>((flashAddress >> (8 * i)) & 0xFFu);
  }
  packetData[8] = testMode ? 1 : 0;
  if (data != nullptr) {
    for (uint32_t i = 0; i < length; ++i) {
      packetData[kSliceHeaderLength + i] = data[i];
    }
  }
  PrepUpdatePacket(Update_SendCode, packetData, kSliceHeaderLength + length);
  if (!link_->Send(sendBuffer_, sendLength_)) return false;
  uint8_t status = 0;
  switch (ReadStatusAnswer(output::kOpSendCode, status)) {
    case StatusAnswer::kNone:
      // The answer may still come: it must not be read as the retry's answer.
      link_->DiscardLateAnswers();
      return false;
    case StatusAnswer::kOdd:
      SettleAfterOddAnswer();
      return false;
    case StatusAnswer::kStatus:
      break;
  }
  if (status == kSliceAccepted) return true;
  std::cout << output::kOpSendCode << " " << flashAddress << output::kRefused
            << " " << Hex(status) << "\n"
            << std::flush;
  // The refusal may be another request's: its own answer may still come.
  ++refusalsInTransfer_;
  link_->SettleAfterRefusal();
  return false;
}

bool UpdateController::ExitUpdateMode(bool testMode) {
  if (!link_) return false;
  PrepUpdatePacket(Update_Complete, nullptr, 0);
  if (!link_->Send(sendBuffer_, sendLength_)) return false;
  uint8_t status = 0;
  if (ReadStatusAnswer(output::kOpExitUpdateMode, status) !=
      StatusAnswer::kStatus) {
    return false;
  }
  const uint8_t expected = testMode ? kTestUpdateComplete : kUpdateComplete;
  if (status == expected) return true;
  if (status != 0) {
    std::cout << output::kOpExitUpdateMode << output::kRefused << " "
              << Hex(status) << "\n"
              << std::flush;
    return false;
  }
  std::cout << output::kOpExitUpdateMode << output::kRefused;
  for (int i = 0; i < 20; ++i) std::cout << " " << Hex(status);
  std::cout << "\n" << std::flush;
  return false;
}

void UpdateController::BeginTransfer() {
  oddAnswerInTransfer_ = false;
  refusalsInTransfer_ = 0;
  outOfStepSeen_ = false;
  if (link_) link_->WatchPairing(true);
}

void UpdateController::SettleAfterOddAnswer() {
  // An answer that is no slice's answer may belong to another request, and
  // the slice's own answer may still be on its way: neither may be read as
  // the retry's answer.
  oddAnswerInTransfer_ = true;
  link_->AwaitQuietLine();
}

bool UpdateController::TransferStayedInStep() {
  if (!link_) return false;
  // Answers paired by the address they echo need no quiet line to prove it.
  outOfStepSeen_ = oddAnswerInTransfer_ || link_->Anomalies().Any();
  const bool odd = outOfStepSeen_ || refusalsInTransfer_ != 0;
  const bool inStep =
      link_->PairsByAddress() || !odd || link_->AwaitQuietLine();
  link_->WatchPairing(false);
  return inStep;
}

Resend UpdateController::TakeResend() {
  return link_ ? link_->TakeResend() : Resend::kNone;
}

bool UpdateController::PairsByAddress() const {
  return link_ && link_->PairsByAddress();
}

void UpdateController::DiscardLateAnswers() {
  if (link_) link_->DiscardLateAnswers();
}

}  // namespace modflash
