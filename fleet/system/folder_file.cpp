#include "fleet/system/folder_file.h"

#include <cstdio>
#include <fstream>
#include <vector>

namespace modflash::fleet {
namespace {

// Closes the file when the reading ends, however it ends.
class Closer {
 public:
  explicit Closer(detail::OpenedFile& file) : file_(file) {}
  ~Closer() { detail::CloseOpened(file_); }
  Closer(const Closer&) = delete;
  Closer& operator=(const Closer&) = delete;

 private:
  detail::OpenedFile& file_;
};

std::string Limit(uint64_t limit) {
  return "larger than the limit of " + std::to_string(limit) + " bytes";
}

// Opens the file and checks its size against `limit` before a byte is
// read.
FolderFile Open(const std::string& folder, const std::string& relative,
                uint64_t limit, detail::OpenedFile& file,
                std::string& reason) {
  if (!InsideFolderPath(relative)) {
    reason = "the path leaves its folder";
    return FolderFile::kRefused;
  }
  const FolderFile opened =
      detail::OpenFolderFile(folder, relative, file, reason);
  if (opened != FolderFile::kRead) return opened;
  if (file.size > limit) {
    reason = Limit(limit);
    return FolderFile::kRefused;
  }
  return FolderFile::kRead;
}

// Reads the opened file in blocks, handing each to `take`; refuses once
// more than `limit` bytes came (a file that grows while it is read).
template <typename Take>
FolderFile ReadBlocks(const detail::OpenedFile& file, uint64_t limit,
                      std::string& reason, Take take) {
  std::vector<char> block(64 * 1024);
  uint64_t total = 0;
  for (;;) {
    const long long got = detail::ReadOpened(file, block.data(), block.size());
    if (got < 0) {
      reason = "cannot be read";
      return FolderFile::kFailed;
    }
    if (got == 0) return FolderFile::kRead;
    total += static_cast<uint64_t>(got);
    if (total > limit) {
      reason = Limit(limit);
      return FolderFile::kRefused;
    }
    if (!take(block.data(), static_cast<size_t>(got))) {
      reason = "cannot be copied";
      return FolderFile::kFailed;
    }
  }
}

}  // namespace

bool InsideFolderPath(const std::string& relative) {
  if (relative.empty() || relative.find_first_of("\\:") != std::string::npos) {
    return false;
  }
  size_t start = 0;
  for (;;) {
    const size_t end = relative.find('/', start);
    const std::string part = relative.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

FolderFile ReadFolderFile(const std::string& folder,
                          const std::string& relative, uint64_t limit,
                          std::string& contents, std::string& reason) {
  contents.clear();
  detail::OpenedFile file;
  const FolderFile opened = Open(folder, relative, limit, file, reason);
  if (opened != FolderFile::kRead) return opened;
  Closer closer(file);
  contents.reserve(static_cast<size_t>(file.size));
  const FolderFile read =
      ReadBlocks(file, limit, reason, [&](const char* data, size_t size) {
        contents.append(data, size);
        return true;
      });
  if (read != FolderFile::kRead) contents.clear();
  return read;
}

FolderFile CopyFolderFile(const std::string& folder,
                          const std::string& relative, uint64_t limit,
                          const std::string& target, std::string& reason) {
  detail::OpenedFile file;
  const FolderFile opened = Open(folder, relative, limit, file, reason);
  if (opened != FolderFile::kRead) return opened;
  Closer closer(file);
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  if (!out) {
    reason = "cannot be copied";
    return FolderFile::kFailed;
  }
  FolderFile read =
      ReadBlocks(file, limit, reason, [&](const char* data, size_t size) {
        out.write(data, static_cast<std::streamsize>(size));
        return static_cast<bool>(out);
      });
  out.close();
  if (read == FolderFile::kRead && !out) {
    reason = "cannot be copied";
    read = FolderFile::kFailed;
  }
  if (read != FolderFile::kRead) std::remove(target.c_str());
  return read;
}

}  // namespace modflash::fleet
