#ifndef MODFLASH_TESTS_SUPPORT_TEMP_DIR_H_
#define MODFLASH_TESTS_SUPPORT_TEMP_DIR_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace modflash::testing {

/// A fresh directory under the system's temporary folder, removed with its
/// contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  /// Writes `bytes` to `name` inside the directory; returns the full path.
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes);

 private:
  std::filesystem::path path_;
};

/// A valid 204800-byte image: signature in place, version major.minor.patch,
/// the other bytes a deterministic pattern.
std::vector<uint8_t> MakeImage(uint8_t major, uint8_t minor, uint8_t patch);

/// Reads a whole file; empty when it cannot be read.
std::vector<uint8_t> ReadFileBytes(const std::string& path);

}  // namespace modflash::testing

#endif  // MODFLASH_TESTS_SUPPORT_TEMP_DIR_H_
