#include "protocol/crc16.h"

namespace modflash {

uint16_t CalcCrc16(const uint8_t* data, uint16_t bitCount) {
  uint16_t crc = 0xFFFF;
  uint8_t current = 0;
  for (uint32_t i = 0; i < bitCount; ++i) {
    if (i % 8 == 0) current = data[i / 8];
    const bool dataBit =
        ((static_cast<uint32_t>(current) >> (7u - i % 8u)) & 1u) != 0;
    const bool topBit = (crc & 0x8000u) != 0;
    crc = static_cast<uint16_t>(crc << 1);
    if (topBit != dataBit) crc = static_cast<uint16_t>(crc ^ 0x1021u);
  }
  return crc;
}

}  // namespace modflash
