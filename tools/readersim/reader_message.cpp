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

std::vector<uint8_t> BuildReaderMessage(uint8_t type, const uint8_t* payload,
                                        size_t length) {
  std::vector<uint8_t> message(length + framing::kOverhead);
  framing::Frame(type, payload, length, message.data());
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
  if (buffer_[0] != framing::kStart0 ||
      (buffer_.size() > 1 && buffer_[1] != framing::kStart1)) {
    // Skip to the next possible start; a lone B9 at the end may be one.
    size_t skip = 1;
    while (skip < buffer_.size()) {
      if (buffer_[skip] == framing::kStart0 &&
          (skip + 1 == buffer_.size() ||
           buffer_[skip + 1] == framing::kStart1)) {
        break;
      }
      ++skip;
    }
    reason = "no message start (B9 9B): dropped " + std::to_string(skip) +
             " byte(s) beginning " + Hex2(buffer_[0]);
    Drop(skip);
    return Result::kRefused;
  }
  if (buffer_.size() < framing::kHeadLength) return Result::kNeedMore;
  const size_t length =
      (static_cast<size_t>(buffer_[2]) << 8) | static_cast<size_t>(buffer_[3]);
  if (length < framing::kOverhead || length > kMaxMessageLength) {
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
  // The length bytes, the type and the payload.
  const uint8_t expected = framing::Check(&buffer_[2], length - 5);
  if (buffer_[length - 3] != expected) {
    reason = "check byte " + Hex2(buffer_[length - 3]) + ", expected " +
             Hex2(expected) + ": dropped the " + std::to_string(length) +
             "-byte message of type " + Hex2(buffer_[framing::kTypeOffset]);
    Drop(length);
    return Result::kRefused;
  }
  message.type = buffer_[framing::kTypeOffset];
  message.payload.assign(
      buffer_.begin() + framing::kPayloadOffset,
      buffer_.begin() + static_cast<std::ptrdiff_t>(length - 3));
  Drop(length);
  return Result::kMessage;
}

}  // namespace modflash::sim
