#ifndef MODFLASH_FUZZ_FUZZ_CHECK_H_
#define MODFLASH_FUZZ_FUZZ_CHECK_H_

// What the fuzz targets share: the invariant check that turns a broken
// promise into a finding, and a reader of the input bytes.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

/// Aborts (a finding, with the input saved by the fuzzer) when `cond` fails.
#define FUZZ_CHECK(cond, what)                                               \
  do {                                                                       \
    if (!(cond)) {                                                           \
      std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", what, __FILE__, \
                   __LINE__);                                                \
      std::abort();                                                          \
    }                                                                        \
  } while (0)

namespace modflash::fuzz {

/// Hands out the input's bytes in order; 0 once they are used up.
class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  /// Up to `count` bytes; `got` says how many there were.
  const uint8_t* Bytes(size_t count, size_t& got) {
    got = count < size_ - pos_ ? count : size_ - pos_;
    const uint8_t* at = data_ + pos_;
    pos_ += got;
    return at;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace modflash::fuzz

#endif  // MODFLASH_FUZZ_FUZZ_CHECK_H_
