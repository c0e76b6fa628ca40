#ifndef MODFLASH_LINK_READER_FRAMING_H_
#define MODFLASH_LINK_READER_FRAMING_H_

// The reader's own framing of the messages on its TCP connection, the one
// copy for every part that speaks it: the programmer's link
// (ethernet_update_comm.cpp), the tests' fake reader and the simulator.
//
//   B9 9B | length, 2 bytes big-endian, of the whole message | type |
//   payload | check: XOR of the length, type and payload bytes | 0D 0A

#include <cstddef>
#include <cstdint>

namespace modflash::framing {

inline constexpr uint8_t kStart0 = 0xB9;
inline constexpr uint8_t kStart1 = 0x9B;
/// Bytes a message has besides its payload.
inline constexpr size_t kOverhead = 8;
/// The start bytes and the length: what a receiver reads first.
inline constexpr size_t kHeadLength = 4;
inline constexpr size_t kTypeOffset = 4;
inline constexpr size_t kPayloadOffset = 5;

/// The message types.
inline constexpr uint8_t kGetBaudRate = 0x38;
inline constexpr uint8_t kBaudRate = 0x39;
inline constexpr uint8_t kSetBaudRate = 0x3A;
inline constexpr uint8_t kSetBaudRateResult = 0x3B;
inline constexpr uint8_t kModuleData = 0xFA;

/// The XOR of `count` bytes starting at the first length byte.
uint8_t Check(const uint8_t* fromLength, size_t count);

/// Writes the whole message of `type` around the `length` bytes at
/// `payload` to `out`, which has room for `length` + kOverhead bytes.
/// Returns the message's length.
size_t Frame(uint8_t type, const uint8_t* payload, size_t length, uint8_t* out);

}  // namespace modflash::framing

#endif  // MODFLASH_LINK_READER_FRAMING_H_
