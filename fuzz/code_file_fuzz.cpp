// The image reader on arbitrary file contents and sizes.
//
// Input: a mode byte, then contents. Mode 0: the file is the contents. Mode
// 1: a file of exactly the image size whose end is the contents (so the
// signature and version bytes come from the input). Mode 2: the contents
// repeated to the image size plus or minus the next byte's value.

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "image/code_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using modflash::kCodeSize;
  modflash::fuzz::InputReader in(data, size);
  const uint8_t mode = in.Byte() % 3;
  const int delta = static_cast<int8_t>(mode == 2 ? in.Byte() : 0);
  size_t got = 0;
  const uint8_t* contents = in.Bytes(size, got);
  // Kept between inputs: a fresh 200 KiB block per input is mostly the
  // allocator's page faults.
  static std::vector<uint8_t> file;
  file.clear();
  if (mode == 0) {
    file.assign(contents, contents + got);
  } else if (mode == 1) {
    file.assign(kCodeSize, 0);
    const size_t n = got < kCodeSize ? got : kCodeSize;
    std::memcpy(file.data() + kCodeSize - n, contents, n);
  } else {
    file.resize(static_cast<size_t>(static_cast<long>(kCodeSize) + delta));
    // The contents repeated, copied in doubling blocks.
    size_t filled = got < file.size() ? got : file.size();
    if (filled > 0) std::memcpy(file.data(), contents, filled);
    while (filled > 0 && filled < file.size()) {
      const size_t n = std::min(filled, file.size() - filled);
      std::memcpy(file.data() + filled, file.data(), n);
      filled += n;
    }
  }
  static const std::string path =
      "/dev/shm/modflash-fuzz-image-" + std::to_string(getpid()) + ".bin";
  FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr, "the temporary image can be written");
  std::fwrite(file.data(), 1, file.size(), f);
  std::fclose(f);

  // The buffer is exactly the image size, so a read past it is caught.
  static const auto buffer = std::make_unique<uint8_t[]>(kCodeSize);
  uint8_t major = 0xAA, minor = 0xBB, patch = 0xCC;
  std::ostringstream out;
  std::streambuf* saved = std::cout.rdbuf(out.rdbuf());
  const bool ok = modflash::ReadCodeFile(path, buffer.get(), kCodeSize, major,
                                         minor, patch);
  std::cout.rdbuf(saved);
  std::remove(path.c_str());

  const bool signed_ =
      file.size() == kCodeSize &&
      std::memcmp(&file[modflash::kSignatureOffset], "X30M", 4) == 0;
  FUZZ_CHECK(ok == signed_,
             "accepted exactly when the size and signature are right");
  if (ok) {
    FUZZ_CHECK(std::memcmp(buffer.get(), file.data(), kCodeSize) == 0,
               "the whole image is read");
    FUZZ_CHECK(major == file[modflash::kMajorOffset] &&
                   minor == file[modflash::kMinorOffset] &&
                   patch == file[modflash::kPatchOffset],
               "the version comes from the image");
  } else {
    FUZZ_CHECK(!out.str().empty(), "a refusal says why");
  }
  return 0;
}
