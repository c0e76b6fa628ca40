#ifndef MODFLASH_IMAGE_SHA256_H_
#define MODFLASH_IMAGE_SHA256_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace modflash {

/// SHA-256 (FIPS 180-4) of a byte stream fed in pieces: the identity of a
/// firmware image in the fleet reports.
class Sha256 {
 public:
  Sha256();
  void Add(const uint8_t* data, size_t length);
  /// The digest of everything added; the object is spent afterwards.
  std::array<uint8_t, 32> Finish();

 private:
  void Block(const uint8_t* block);

  std::array<uint32_t, 8> state_;
  uint8_t pending_[64] = {};
  size_t pendingLength_ = 0;
  uint64_t totalBytes_ = 0;
};

/// The digest of `length` bytes as 64 lower-case hexadecimal digits.
std::string Sha256Hex(const uint8_t* data, size_t length);

}  // namespace modflash

#endif  // MODFLASH_IMAGE_SHA256_H_
