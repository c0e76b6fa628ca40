#ifndef MODFLASH_IMAGE_CODE_FILE_H_
#define MODFLASH_IMAGE_CODE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace modflash {

/// Size of a firmware image and of the module's code area.
inline constexpr size_t kCodeSize = 204800;
/// Where the image carries its code signature "X30M" and its version.
inline constexpr size_t kSignatureOffset = 204760;
inline constexpr size_t kPatchOffset = 204765;
inline constexpr size_t kMinorOffset = 204766;
inline constexpr size_t kMajorOffset = 204767;

/// A firmware version, as the image and the module carry it.
struct FirmwareVersion {
  uint8_t major = 0;
  uint8_t minor = 0;
  uint8_t patch = 0;
};

/// The version as every part of the project writes it: "V1.2.3".
std::string VersionText(const FirmwareVersion& version);

/// Loads `fileName` into the caller's `buffer` of `expectedSize` bytes and
/// checks its size and code signature. The version outputs are written only
/// when the signature matches. Prints its own diagnostics.
bool ReadCodeFile(std::string fileName, uint8_t* buffer, size_t expectedSize,
                  uint8_t& major, uint8_t& minor, uint8_t& patch);

}  // namespace modflash

#endif  // MODFLASH_IMAGE_CODE_FILE_H_
