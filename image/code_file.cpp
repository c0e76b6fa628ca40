#include "image/code_file.h"

#include <cstdio>
#include <fstream>
#include <iostream>

#include "contract/output_lines.h"
#include "image/regular_file.h"

namespace modflash {
namespace {

constexpr uint8_t kSignature[4] = {0x58, 0x33, 0x30, 0x4D};  // "X30M"

}  // namespace

std::string VersionText(const FirmwareVersion& version) {
  char text[16];
  std::snprintf(text, sizeof text, "V%d.%d.%d", version.major, version.minor,
                version.patch);
  return text;
}

bool ReadCodeFile(std::string fileName, uint8_t* buffer, size_t expectedSize,
                  uint8_t& major, uint8_t& minor, uint8_t& patch) {
  bool result = true;
  if (buffer == nullptr || expectedSize <= kMajorOffset) {
    // The signature and version live at fixed offsets: an area that cannot
    // hold them is never read into.
    std::cout << output::kFileNotRead << "\n";
    return false;
  }
  // A directory, pipe or device is refused before it is opened: a pipe with
  // no writer would block the open, a directory has no size.
  std::ifstream fileStream;
  if (IsRegularFile(fileName)) {
    fileStream.open(fileName, std::ios::in | std::ios::binary);
  } else {
    fileStream.setstate(std::ios::failbit);
  }
  if (!fileStream.is_open()) {
    std::cout << output::kFileNotOpened << "\n";
    std::cout.flush();
    result = false;
  } else {
    fileStream.seekg(0, std::ios::end);
    const int64_t size = static_cast<int64_t>(fileStream.tellg());
    if (size != static_cast<int64_t>(expectedSize)) {
      std::cout << output::kFileSizeStart << fileName << output::kFileSizeEnd
                << "\n"
                << output::kSizeExpected << expectedSize << output::kSizeFound
                << size << ".\n";
      // Nothing was read, so there is no signature to judge.
      return false;
    }
    fileStream.seekg(0, std::ios::beg);
    fileStream.read(reinterpret_cast<char*>(buffer),
                    static_cast<std::streamsize>(expectedSize));

    const uint8_t* signature = buffer + kSignatureOffset;
    if (signature[0] != kSignature[0] || signature[1] != kSignature[1] ||
        signature[2] != kSignature[2] || signature[3] != kSignature[3]) {
      std::cout << output::kBadSignature << "\n";
      std::cout.flush();
      char pbuf[40];
      std::snprintf(pbuf, sizeof pbuf, "0x%02X, 0x%02X, 0x%02X, 0x%02X",
                    signature[0], signature[1], signature[2], signature[3]);
      std::cout << output::kSignatureGot << pbuf << "\n";
      std::cout.flush();
      return false;
    }
    major = buffer[kMajorOffset];
    minor = buffer[kMinorOffset];
    patch = buffer[kPatchOffset];
  }

  if (!fileStream) {
    std::cout << output::kFileNotRead << "\n";
    result = false;
  }
  return result;
}

}  // namespace modflash
