#ifndef MODFLASH_TOOLS_READERSIM_READER_MESSAGE_H_
#define MODFLASH_TOOLS_READERSIM_READER_MESSAGE_H_

// The reader's own TCP framing as the simulated reader sees it:
// B9 9B, a big-endian length of the whole message, a type, the payload, a
// check byte (XOR of the length bytes, the type and the payload) and CR LF.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace modflash::sim {

inline constexpr uint8_t kMessageStart0 = 0xB9;
inline constexpr uint8_t kMessageStart1 = 0x9B;
/// Bytes a message has besides its payload.
inline constexpr size_t kMessageOverhead = 8;
/// The longest message the simulated reader accepts (its receive buffer).
inline constexpr size_t kMaxMessageLength = 1024;

/// Reader message types.
inline constexpr uint8_t kTypeGetBaudRate = 0x38;
inline constexpr uint8_t kTypeBaudRate = 0x39;
inline constexpr uint8_t kTypeSetBaudRate = 0x3A;
inline constexpr uint8_t kTypeSetBaudRateResult = 0x3B;
inline constexpr uint8_t kTypeModuleData = 0xFA;

/// Builds a complete reader message of `type` around `length` payload bytes.
std::vector<uint8_t> BuildReaderMessage(uint8_t type, const uint8_t* payload,
                                        size_t length);

/// The XOR check over `length` bytes starting at the first length byte.
uint8_t MessageCheck(const uint8_t* fromLength, size_t length);

/// One message taken off the stream.
struct ReaderMessage {
  uint8_t type = 0;
  std::vector<uint8_t> payload;
};

/// Cuts an incoming byte stream into reader messages. Whatever does not
/// parse is dropped with a reason, and the parser looks for the next B9 9B.
class ReaderMessageParser {
 public:
  enum class Result {
    kNeedMore,  ///< no complete message buffered yet
    kMessage,   ///< `message` holds the next message
    kRefused,   ///< bytes were dropped; `reason` says why
  };

  void Feed(const uint8_t* data, size_t length);
  Result Next(ReaderMessage& message, std::string& reason);
  /// Bytes received but not yet taken as a message or dropped.
  size_t buffered() const { return buffer_.size(); }

 private:
  void Drop(size_t count);

  std::vector<uint8_t> buffer_;
};

}  // namespace modflash::sim

#endif  // MODFLASH_TOOLS_READERSIM_READER_MESSAGE_H_
