#include "link/reader_framing.h"

namespace modflash::framing {

uint8_t Check(const uint8_t* fromLength, size_t count) {
  uint8_t check = 0;
  for (size_t i = 0; i < count; ++i) check ^= fromLength[i];
  return check;
}

size_t Frame(uint8_t type, const uint8_t* payload, size_t length,
             uint8_t* out) {
  const size_t total = length + kOverhead;
  out[0] = kStart0;
  out[1] = kStart1;
  out[2] = static_cast<uint8_t>((total >> 8) & 0xFF);
  out[3] = static_cast<uint8_t>(total & 0xFF);
  out[kTypeOffset] = type;
  for (size_t i = 0; i < length; ++i) out[kPayloadOffset + i] = payload[i];
  // The length bytes, the type and the payload.
  out[kPayloadOffset + length] = Check(out + 2, length + 3);
  out[kPayloadOffset + length + 1] = 0x0D;
  out[kPayloadOffset + length + 2] = 0x0A;
  return total;
}

}  // namespace modflash::framing
