#include "tests/support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>

namespace modflash::testing {

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  const auto stamp =
      std::chrono::steady_clock::now().time_since_epoch().count();
  for (;;) {
    path_ = std::filesystem::temp_directory_path() /
            ("modflash-test-" + std::to_string(stamp) + "-" +
             std::to_string(counter++));
    if (std::filesystem::create_directory(path_)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name,
                           const std::vector<uint8_t>& bytes) {
  const std::filesystem::path file = path_ / name;
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return file.string();
}

std::vector<uint8_t> MakeImage(uint8_t major, uint8_t minor, uint8_t patch) {
  std::vector<uint8_t> image(204800);
  uint32_t state = 0x12345678u;
  for (uint8_t& b : image) {
    state = state * 1103515245u + 12345u;
    b = static_cast<uint8_t>(state >> 24);
  }
  image[204760] = 'X';
  image[204761] = '3';
  image[204762] = '0';
  image[204763] = 'M';
  image[204765] = patch;
  image[204766] = minor;
  image[204767] = major;
  return image;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                              std::istreambuf_iterator<char>());
}

}  // namespace modflash::testing
