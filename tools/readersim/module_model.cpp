#include "tools/readersim/module_model.h"

#include <cstdio>

#include "protocol/crc16.h"

namespace modflash::sim {
namespace {

constexpr uint8_t kCommandHeader[5] = {0x43, 0x49, 0x54, 0x4D, 0xFF};
constexpr uint8_t kPacketHeader[7] = {0x55, 0x49, 0x54, 0x4D, 0xFF, 0x0D, 0xF0};
constexpr size_t kCommandLength = 16;
constexpr size_t kPacketLength = 64;
constexpr uint8_t kGetVersion = 0x60;
constexpr uint8_t kPrepareUpdate = 0x55;
constexpr uint8_t kEnterOk = 0x0E;
constexpr uint32_t kSliceLength = 32;

bool AllZero(const uint8_t* data, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    if (data[i] != 0) return false;
  }
  return true;
}

}  // namespace

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

uint32_t ReadLe32(const uint8_t* data) {
  return static_cast<uint32_t>(data[0]) |
         (static_cast<uint32_t>(data[1]) << 8) |
         (static_cast<uint32_t>(data[2]) << 16) |
         (static_cast<uint32_t>(data[3]) << 24);
}

void StoreCrc(uint8_t* data, size_t covered) {
  const uint16_t crc = static_cast<uint16_t>(
      ~CalcCrc16(data, static_cast<uint16_t>(covered * 8)));
  data[covered] = static_cast<uint8_t>(crc & 0xFF);
  data[covered + 1] = static_cast<uint8_t>(crc >> 8);
}

bool CrcMatches(const uint8_t* data, size_t covered) {
  const uint16_t crc = static_cast<uint16_t>(
      ~CalcCrc16(data, static_cast<uint16_t>(covered * 8)));
  return data[covered] == static_cast<uint8_t>(crc & 0xFF) &&
         data[covered + 1] == static_cast<uint8_t>(crc >> 8);
}

Bytes CommandAnswer(uint8_t command, uint8_t result, uint8_t data7,
                    uint8_t data8, uint8_t data9) {
  Bytes answer(kCommandLength, 0);
  for (size_t i = 0; i < sizeof kCommandHeader; ++i) {
    answer[i] = kCommandHeader[i];
  }
  answer[5] = command;
  answer[6] = result;
  answer[7] = data7;
  answer[8] = data8;
  answer[9] = data9;
  StoreCrc(answer.data(), 14);
  return answer;
}

Bytes UpdateAnswer(uint8_t letter, uint8_t packetType, uint32_t address,
                   uint8_t status) {
  Bytes answer(kUpdateAnswerLength, 0);
  answer[0] = letter;
  for (size_t i = 1; i < sizeof kPacketHeader; ++i) {
    answer[i] = kPacketHeader[i];
  }
  answer[7] = packetType;
  answer[9] = 1;  // one word of status
  answer[13] = static_cast<uint8_t>(address & 0xFF);
  answer[14] = static_cast<uint8_t>((address >> 8) & 0xFF);
  answer[15] = static_cast<uint8_t>((address >> 16) & 0xFF);
  answer[16] = static_cast<uint8_t>((address >> 24) & 0xFF);
  answer[17] = status;
  StoreCrc(answer.data(), 18);
  return answer;
}

ModuleModel::ModuleModel(const SimOptions& options)
    : options_(options), flash_(kFlashSize, 0xFF), rate_(options.rate) {
  flash_[kSignatureOffset] = 'X';
  flash_[kSignatureOffset + 1] = '3';
  flash_[kSignatureOffset + 2] = '0';
  flash_[kSignatureOffset + 3] = 'M';
  flash_[kPatchOffset] = options.version.patch;
  flash_[kMinorOffset] = options.version.minor;
  flash_[kMajorOffset] = options.version.major;
  Reset();
}

void ModuleModel::Reset() {
  mode_ = ModuleMode::kFirmware;
  silentUntil_ = Clock::time_point{};
  afterUpdate_ = false;
  testFlagSeen_ = false;
  havePreviousAddress_ = false;
  previousAddress_ = 0;
  refusalsLeft_ = options_.refuseTimes;
  silentPollsLeft_ = 0;
  stats_ = ModuleStats{};
}

Version ModuleModel::FlashVersion() const {
  Version v;
  v.major = flash_[kMajorOffset];
  v.minor = flash_[kMinorOffset];
  v.patch = flash_[kPatchOffset];
  return v;
}

void ModuleModel::ChangeRate(int32_t rate) {
  rate_ = rate;
  mode_ = ModuleMode::kFirmware;
  silentUntil_ = Clock::time_point{};
}

std::vector<Bytes> ModuleModel::Handle(const uint8_t* frame, size_t length,
                                       Clock::time_point now,
                                       std::string& why) {
  ++stats_.moduleFrames;
  if (now < silentUntil_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        silentUntil_ - now);
    why = "module is restarting (" + std::to_string(left.count()) + " ms left)";
    return {};
  }
  if (length == kCommandLength) return HandleCommand(frame, now, why);
  if (length == kPacketLength) return HandlePacket(frame, now, why);
  why = "module frame of " + std::to_string(length) +
        " bytes (neither a 16-byte command nor a 64-byte packet)";
  return {};
}

std::vector<Bytes> ModuleModel::HandleCommand(const uint8_t* frame,
                                              Clock::time_point now,
                                              std::string& why) {
  for (size_t i = 0; i < sizeof kCommandHeader; ++i) {
    if (frame[i] != kCommandHeader[i]) {
      why = "command frame byte " + std::to_string(i) + " is " +
            Hex(frame[i], 2) + ", expected " + Hex(kCommandHeader[i], 2);
      return {};
    }
  }
  if (!CrcMatches(frame, 14)) {
    why = "command frame CRC " + Hex(frame[14], 2) + " " + Hex(frame[15], 2) +
          " does not match";
    return {};
  }
  if (mode_ != ModuleMode::kFirmware) {
    why = "the update loader does not take command frames (command " +
          Hex(frame[5], 2) + ")";
    return {};
  }
  const uint8_t command = frame[5];
  if (command == kGetVersion) {
    if (silentPollsLeft_ > 0) {
      --silentPollsLeft_;
      why = "version command left unanswered (" +
            std::to_string(silentPollsLeft_) + " more to leave)";
      return {};
    }
    const Version v = afterUpdate_ && options_.versionAfterSet
                          ? options_.versionAfter
                          : FlashVersion();
    return {CommandAnswer(command, 0, v.major, v.minor, v.patch)};
  }
  if (command == kPrepareUpdate) {
    mode_ = ModuleMode::kLoader;
    silentUntil_ = now + std::chrono::milliseconds(options_.prepareRestartMs);
    return {CommandAnswer(command, 0, 0, 0, 0)};
  }
  return {CommandAnswer(command, 1, 0, 0, 0)};  // unknown command
}

Bytes ModuleModel::StatusAnswer(uint8_t packetType, uint32_t address,
                                uint8_t status) {
  Bytes answer = UpdateAnswer('S', packetType, address, status);
  if (options_.shortStatusPacket != 0 &&
      stats_.updatePackets == options_.shortStatusPacket &&
      options_.shortStatusLength < answer.size()) {
    answer.resize(options_.shortStatusLength);
  }
  return answer;
}

namespace {

// The payload's length in 32-bit words of an update packet of `type`; -1
// for a type the module does not know.
int PayloadWords(uint8_t type) {
  switch (type) {
    case kPacketEnter:
      return 1;
    case kPacketSendCode:
      return 11;
    case kPacketComplete:
      return 0;
    default:
      return -1;
  }
}

}  // namespace

bool ModuleModel::PacketIsWellFormed(const uint8_t* packet,
                                     std::string& why) const {
  for (size_t i = 0; i < sizeof kPacketHeader; ++i) {
    if (packet[i] != kPacketHeader[i]) {
      why = "update packet byte " + std::to_string(i) + " is " +
            Hex(packet[i], 2) + ", expected " + Hex(kPacketHeader[i], 2);
      return false;
    }
  }
  if (packet[8] != 0 || packet[11] != 0 || packet[12] != 0) {
    why = "update packet bytes 8, 11 and 12 are not zero";
    return false;
  }
  if (!CrcMatches(packet, 62)) {
    why = "update packet CRC " + Hex(packet[62], 2) + " " + Hex(packet[63], 2) +
          " does not match";
    return false;
  }
  const uint8_t type = packet[7];
  const uint32_t words = static_cast<uint32_t>(packet[9]) |
                         (static_cast<uint32_t>(packet[10]) << 8);
  const int expected = PayloadWords(type);
  if (expected < 0) {
    why = "unknown update packet type " + std::to_string(type);
    return false;
  }
  const auto expectedWords = static_cast<uint32_t>(expected);
  if (words != expectedWords) {
    why = "update packet type " + std::to_string(type) + " with word count " +
          std::to_string(words) + ", expected " + std::to_string(expectedWords);
    return false;
  }
  const size_t payloadEnd = 13 + 4 * static_cast<size_t>(words);
  if (!AllZero(packet, payloadEnd, 62)) {
    why = "update packet has data after its payload";
    return false;
  }
  if (type == kPacketEnter && !AllZero(packet, 13, 17)) {
    why = "Update_EnterUpdateMode payload is not zero";
    return false;
  }
  if (type == kPacketSendCode && (!AllZero(packet, 17, 21) || packet[21] > 1 ||
                                  !AllZero(packet, 22, 25))) {
    why = "Update_SendCode payload has a bad reserved field or test flag";
    return false;
  }
  if (mode_ == ModuleMode::kFirmware) {
    why = "the normal firmware does not take update packets (type " +
          std::to_string(type) + ")";
    return false;
  }
  return true;
}

std::vector<Bytes> ModuleModel::HandleEnter() {
  std::vector<Bytes> answers;
  for (const char letter : options_.enterPreamble) {
    answers.push_back(
        UpdateAnswer(static_cast<uint8_t>(letter), kPacketEnter, 0, 0));
  }
  answers.push_back(StatusAnswer(kPacketEnter, 0, options_.enterStatus));
  if (options_.enterStatus == kEnterOk) {
    mode_ = ModuleMode::kUpdateMode;
    testFlagSeen_ = false;
    havePreviousAddress_ = false;
  }
  return answers;
}

std::vector<Bytes> ModuleModel::HandleSendCode(const uint8_t* packet) {
  const uint8_t type = kPacketSendCode;
  const uint32_t address = ReadLe32(packet + 13);
  if (mode_ != ModuleMode::kUpdateMode) {
    return {StatusAnswer(type, address, kStatusNotInUpdateMode)};
  }
  if (havePreviousAddress_ && address == previousAddress_) {
    ++stats_.retries;
  }
  havePreviousAddress_ = true;
  previousAddress_ = address;
  if (options_.refuseTimes != 0 && address == options_.refuseAddress &&
      refusalsLeft_ > 0) {
    --refusalsLeft_;
    return {StatusAnswer(type, address, options_.refuseStatus)};
  }
  if (address < kFlashBase ||
      address - kFlashBase > kFlashSize - kSliceLength) {
    return {StatusAnswer(type, address, kStatusBadAddress)};
  }
  if (packet[21] == 1) {
    testFlagSeen_ = true;
  } else {
    const uint32_t offset = address - kFlashBase;
    for (uint32_t i = 0; i < kSliceLength; ++i) {
      flash_[offset + i] = packet[25 + i];
    }
    stats_.bytesWritten += kSliceLength;
  }
  return {StatusAnswer(type, address, 0x00)};
}

std::vector<Bytes> ModuleModel::HandleComplete(Clock::time_point now) {
  const uint8_t type = kPacketComplete;
  if (mode_ != ModuleMode::kUpdateMode) {
    return {StatusAnswer(type, 0, kStatusNotInUpdateMode)};
  }
  const uint8_t status = options_.completeStatusSet ? options_.completeStatus
                         : testFlagSeen_            ? uint8_t{0x0A}
                                                    : uint8_t{0x09};
  mode_ = ModuleMode::kFirmware;
  silentUntil_ = now + std::chrono::milliseconds(options_.completeRestartMs);
  afterUpdate_ = true;
  silentPollsLeft_ = options_.silentPolls;
  return {StatusAnswer(type, 0, status)};
}

void ModuleModel::HideAddress(Bytes& answer) {
  if (options_.addressEcho == SimOptions::AddressEcho::kEcho ||
      answer.size() < kUpdateAnswerLength) {
    return;
  }
  static constexpr uint8_t kConstant[4] = {0x5A, 0xA5, 0xC3, 0x3C};
  for (size_t i = 0; i < 4; ++i) {
    uint8_t b = 0;
    if (options_.addressEcho == SimOptions::AddressEcho::kConstant) {
      b = kConstant[i];
    } else if (options_.addressEcho == SimOptions::AddressEcho::kRandom) {
      // xorshift32: the same bytes in every run of the same frames.
      randomState_ ^= randomState_ << 13;
      randomState_ ^= randomState_ >> 17;
      randomState_ ^= randomState_ << 5;
      b = static_cast<uint8_t>(randomState_ & 0xFF);
    }
    answer[13 + i] = b;
  }
  StoreCrc(answer.data(), 18);
}

std::vector<Bytes> ModuleModel::HandlePacket(const uint8_t* packet,
                                             Clock::time_point now,
                                             std::string& why) {
  if (!PacketIsWellFormed(packet, why)) return {};
  ++stats_.updatePackets;
  std::vector<Bytes> answers;
  switch (packet[7]) {
    case kPacketEnter:
      answers = HandleEnter();
      break;
    case kPacketSendCode:
      answers = HandleSendCode(packet);
      break;
    default:
      answers = HandleComplete(now);
      break;
  }
  for (Bytes& answer : answers) HideAddress(answer);
  return answers;
}

}  // namespace modflash::sim
