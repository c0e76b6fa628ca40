#include "tools/readersim/reader_message.h"

#include <cstdio>

namespace modflash::sim {
namespace {

std::string Hex2(uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value);
  return text;
}

}  // namespace

uint8_t MessageCheck(const uint8_t* fromLength, size_t length) {
  uint8_t check = 0;
  for (size_t i = 0; i < length; ++i) check ^= fromLength[i];
  return check;
}

std::vector<uint8_t> BuildReaderMessage(uint8_t type, const uint8_t* payload,
                                        size_t length) {
  const size_t total = length + kMessageOverhead;
  std::vector<uint8_t> message(total);
  message[0] = kMessageStart0;
  message[1] = kMessageStart1;
  message[2] = static_cast<uint8_t>(total >> 8);
  message[3] = static_cast<uint8_t>(total & 0xFF);
  message[4] = type;
  for (size_t i = 0; i < length; ++i) message[5 + i] = payload[i];
  message[5 + length] = MessageCheck(&message[2], length + 3);
  message[6 + length] = 0x0D;
  message[7 + length] = 0x0A;
  return message;
}

void ReaderMessageParser::Feed(const uint8_t* data, size_t length) {
  buffer_.insert(buffer_.end(), data, data + length);
}

void ReaderMessageParser::Drop(size_t count) {
  if (count > buffer_.size()) count = buffer_.size();
  buffer_.erase(buffer_.begin(),
                buffer_.begin() + static_cast<std::ptrdiff_t>(count));
}

ReaderMessageParser::Result ReaderMessageParser::Next(ReaderMessage& message,
                                                      std::string& reason) {
  if (buffer_.empty()) return Result::kNeedMore;
  if (buffer_[0] != kMessageStart0 ||
      (buffer_.size() > 1 && buffer_[1] != kMessageStart1)) {
    // Skip to the next possible start; a lone B9 at the end may be one.
    size_t skip = 1;
    while (skip < buffer_.size()) {
      if (buffer_[skip] == kMessageStart0 &&
          (skip + 1 == buffer_.size() || buffer_[skip + 1] == kMessageStart1)) {
        break;
      }
      ++skip;
    }
    reason = "no message start (B9 9B): dropped " + std::to_string(skip) +
             " byte(s) beginning " + Hex2(buffer_[0]);
    Drop(skip);
    return Result::kRefused;
  }
  if (buffer_.size() < 4) return Result::kNeedMore;
  const size_t length =
      (static_cast<size_t>(buffer_[2]) << 8) | static_cast<size_t>(buffer_[3]);
  if (length < kMessageOverhead || length > kMaxMessageLength) {
    reason = "length " + std::to_string(length) + " outside 8.." +
             std::to_string(kMaxMessageLength) + ": dropped the start bytes";
    Drop(2);
    return Result::kRefused;
  }
  if (buffer_.size() < length) return Result::kNeedMore;
  if (buffer_[length - 2] != 0x0D || buffer_[length - 1] != 0x0A) {
    // The length is probably wrong; look for the next start instead.
    reason = "no CR LF at the end of a " + std::to_string(length) +
             "-byte message (found " + Hex2(buffer_[length - 2]) + " " +
             Hex2(buffer_[length - 1]) + "): dropped the start bytes";
    Drop(2);
    return Result::kRefused;
  }
  const uint8_t expected = MessageCheck(&buffer_[2], length - 5);
  if (buffer_[length - 3] != expected) {
    reason = "check byte " + Hex2(buffer_[length - 3]) + ", expected " +
             Hex2(expected) + ": dropped the " + std::to_string(length) +
             "-byte message of type " + Hex2(buffer_[4]);
    Drop(length);
    return Result::kRefused;
  }
  message.type = buffer_[4];
  message.payload.assign(
      buffer_.begin() + 5,
      buffer_.begin() + static_cast<std::ptrdiff_t>(length - 3));
  Drop(length);
  return Result::kMessage;
}

}  // namespace modflash::sim
