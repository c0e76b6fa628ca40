#include "protocol/update_controller.h"

#include <iostream>
#include <utility>

#include "contract/output_lines.h"
#include "protocol/crc16.h"

namespace modflash {

namespace {

/// Leading bytes of every module command frame: "CITM" and 0xFF.
constexpr uint8_t kCommandHeader[5] = {0x43, 0x49, 0x54, 0x4D, 0xFF};

/// Candidate rates of the auto-baud probe, in probe order.
constexpr int32_t kAutoBaudRates[4] = {921600, 115200, 230400, 460800};

constexpr uint8_t kCommandFrameLength = 16;
constexpr uint8_t kUpdatePacketLength = 64;
constexpr uint8_t kMaxCommandData = 8;
constexpr uint32_t kMaxPacketPayload = 49;
constexpr uint32_t kPacketPayloadOffset = 13;

/// Offset of the answer's result byte and of the version bytes (command 0x60).
constexpr int32_t kVersionAnswerLength = 16;
constexpr int kResultOffset = 6;
constexpr int kAnswerMajor = 7;
constexpr int kAnswerMinor = 8;
constexpr int kAnswerPatch = 9;

}  // namespace

UpdateController::UpdateController(std::unique_ptr<UpdateComm> link)
    : link_(std::move(link)) {}

UpdateController::~UpdateController() {
  // The link's own destructor closes a connection that is still open.
  link_.reset();
}

void UpdateController::CloseLink() {
  if (!link_) return;
  link_->Disconnect();
  link_.reset();
}

bool UpdateController::GetBaudRate(int32_t& rate) {
  if (!link_) return false;
  return link_->GetBaudRate(rate);
}

bool UpdateController::SetBaudRate(int32_t rate) {
  if (!link_) {
    std::cout << output::kOpSetRate << output::kNoLink << "\n";
    return false;
  }
  return link_->SetBaudRate(rate);
}

void UpdateController::Delay(uint32_t ms) {
  if (link_) link_->Delay(ms);
}

void UpdateController::SetQuietMode(bool on) {
  if (link_) link_->SetQuietMode(on);
}

int32_t UpdateController::ReceiveAnswer() {
  return link_->Receive(answerBuffer_,
                        static_cast<int32_t>(sizeof(answerBuffer_)));
}

bool UpdateController::GetFirmwareVersion(uint8_t& major, uint8_t& minor,
                                          uint8_t& patch) {
  if (!link_) {
    std::cout << output::kOpGetVersion << output::kNoLink << "\n";
    return false;
  }
  PrepModuleCommand(kCommandGetVersion, nullptr, 0);
  if (!link_->Send(sendBuffer_, sendLength_)) return false;
  const int32_t received = ReceiveAnswer();
  if (received != kVersionAnswerLength || answerBuffer_[kResultOffset] != 0) {
    return false;
  }
  major = answerBuffer_[kAnswerMajor];
  minor = answerBuffer_[kAnswerMinor];
  patch = answerBuffer_[kAnswerPatch];
  return true;
}

bool UpdateController::InitiateFirmwareUpdate() {
  std::cout << output::kInitiating << "\n";
  if (!link_) {
    std::cout << output::kOpInitiate << output::kNoLink << "\n";
    return false;
  }
  PrepModuleCommand(kCommandPrepareUpdate, nullptr, 0);
  if (!link_->Send(sendBuffer_, sendLength_)) return false;
  // The module's answer, if any, is not examined.
  ReceiveAnswer();
  return true;
}

int32_t UpdateController::AutoBaud() {
  if (!link_) return -1;
  for (const int32_t rate : kAutoBaudRates) {
    link_->SetLinkBaudRate(rate);
    PrepModuleCommand(kCommandGetVersion, nullptr, 0);
    link_->Send(sendBuffer_, sendLength_);
    const int32_t received = ReceiveAnswer();
    std::cout << output::kAutoBaud << static_cast<uint32_t>(rate)
              << (received > 0 ? output::kProbeAnswered : output::kProbeFailed)
              << "\n";
    if (received > 0) return rate;
  }
  return -1;
}

bool UpdateController::PrepModuleCommand(uint8_t command, const uint8_t* data,
                                         uint8_t length) {
  if (length > kMaxCommandData) return false;
  sendLength_ = kCommandFrameLength;
  for (int i = 0; i < kCommandFrameLength; ++i) sendBuffer_[i] = 0;
  for (int i = 0; i < 5; ++i) sendBuffer_[i] = kCommandHeader[i];
  sendBuffer_[5] = command;
  if (length != 0 && data != nullptr) {
    for (int i = 0; i < length; ++i) sendBuffer_[6 + i] = data[i];
  }
  const uint16_t crc =
      static_cast<uint16_t>(CalcCrc16(sendBuffer_, 14 * 8) ^ 0xFFFF);
  sendBuffer_[14] = static_cast<uint8_t>(crc & 0xFFu);
  sendBuffer_[15] = static_cast<uint8_t>(crc >> 8);
  return true;
}

bool UpdateController::PrepUpdatePacket(uint8_t type, const uint8_t* payload,
                                        uint32_t length) {
  // A longer payload would run into the CRC bytes and past the send area.
  if (length > kMaxPacketPayload) return false;
  for (int i = 0; i < kUpdatePacketLength; ++i) sendBuffer_[i] = 0;
  sendLength_ = kUpdatePacketLength;
  sendBuffer_[0] = 0x55;  // 'U'
  sendBuffer_[1] = 0x49;  // 'I'
  sendBuffer_[2] = 0x54;  // 'T'
  sendBuffer_[3] = 0x4D;  // 'M'
  sendBuffer_[4] = 0xFF;
  sendBuffer_[5] = 0x0D;
  sendBuffer_[6] = 0xF0;
  sendBuffer_[7] = type;
  sendBuffer_[8] = 0x00;
  const uint32_t words = (length + 3) / 4;
  sendBuffer_[9] = static_cast<uint8_t>(words & 0xFFu);
  sendBuffer_[10] = static_cast<uint8_t>((words >> 8) & 0xFFu);
  if (payload != nullptr) {
    for (uint32_t i = 0; i < length; ++i) {
      sendBuffer_[kPacketPayloadOffset + i] = payload[i];
    }
  }
  const uint16_t crc =
      static_cast<uint16_t>(CalcCrc16(sendBuffer_, 62 * 8) ^ 0xFFFF);
  sendBuffer_[62] = static_cast<uint8_t>(crc & 0xFFu);
  sendBuffer_[63] = static_cast<uint8_t>(crc >> 8);
  return true;
}

}  // namespace modflash
