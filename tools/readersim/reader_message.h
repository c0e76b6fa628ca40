#ifndef MODFLASH_TOOLS_READERSIM_READER_MESSAGE_H_
#define MODFLASH_TOOLS_READERSIM_READER_MESSAGE_H_

// The reader's messages as the simulated reader receives them. The framing
// itself (B9 9B, length, type, payload, check byte, CR LF) is the project's
// one copy in link/reader_framing.h; what is the simulator's own is the
// parser that cuts a byte stream from any client, however broken, into
// messages, and the limit of its receive buffer.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "link/reader_framing.h"

namespace modflash::sim {

/// The longest message the simulated reader accepts (its receive buffer).
inline constexpr size_t kMaxMessageLength = 1024;

/// Reader message types.
inline constexpr uint8_t kTypeGetBaudRate = framing::kGetBaudRate;
inline constexpr uint8_t kTypeBaudRate = framing::kBaudRate;
inline constexpr uint8_t kTypeSetBaudRate = framing::kSetBaudRate;
inline constexpr uint8_t kTypeSetBaudRateResult = framing::kSetBaudRateResult;
inline constexpr uint8_t kTypeModuleData = framing::kModuleData;

/// framing::Frame into a vector: the whole message of `type` around
/// `length` payload bytes.
std::vector<uint8_t> BuildReaderMessage(uint8_t type, const uint8_t* payload,
                                        size_t length);

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
