#ifndef MODFLASH_PROTOCOL_CRC16_H_
#define MODFLASH_PROTOCOL_CRC16_H_

#include <cstdint>

namespace modflash {

/// CRC-16 register over the first `bitCount` bits of `data`, most
/// significant bit first: polynomial 0x1021, start 0xFFFF, no reflection.
/// Returns the register before its final complement (the frame builders
/// store the complement, low byte first).
uint16_t CalcCrc16(const uint8_t* data, uint16_t bitCount);

}  // namespace modflash

#endif  // MODFLASH_PROTOCOL_CRC16_H_
