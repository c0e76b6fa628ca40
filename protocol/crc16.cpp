#include "protocol/crc16.h"

#include <array>

namespace modflash {

namespace {

constexpr uint16_t kPolynomial = 0x1021;

/// The register after shifting one bit in: the top bit leaves, and the
/// polynomial goes in when it differs from the data bit.
constexpr uint16_t ShiftBit(uint16_t crc, bool dataBit) {
  const bool topBit = (crc & 0x8000u) != 0;
  crc = static_cast<uint16_t>(crc << 1);
  return topBit != dataBit ? static_cast<uint16_t>(crc ^ kPolynomial) : crc;
}

/// For each top byte of the register, what shifting eight zero bits through
/// it adds; a whole byte then costs one look-up.
constexpr std::array<uint16_t, 256> MakeTable() {
  std::array<uint16_t, 256> table{};
  for (uint32_t top = 0; top < 256; ++top) {
    uint16_t crc = static_cast<uint16_t>(top << 8);
    for (int bit = 0; bit < 8; ++bit) crc = ShiftBit(crc, false);
    table[top] = crc;
  }
  return table;
}

constexpr std::array<uint16_t, 256> kTable = MakeTable();

}  // namespace

uint16_t CalcCrc16(const uint8_t* data, uint16_t bitCount) {
  uint16_t crc = 0xFFFF;
  const uint32_t wholeBytes = bitCount / 8u;
  for (uint32_t i = 0; i < wholeBytes; ++i) {
    crc = static_cast<uint16_t>(
        (crc << 8) ^ kTable[static_cast<uint8_t>((crc >> 8) ^ data[i])]);
  }
  // A trailing part byte goes in bit by bit, most significant first.
  for (uint32_t bit = 0; bit < bitCount % 8u; ++bit) {
    crc = ShiftBit(crc, ((data[wholeBytes] >> (7u - bit)) & 1u) != 0);
  }
  return crc;
}

}  // namespace modflash
