#include <windows.h>

#include <string>
#include <vector>

#include "fleet/system/folder_file.h"

namespace modflash::fleet::detail {
namespace {

// The handles of the folders on the way, held without FILE_SHARE_DELETE so
// that none is renamed or replaced by a link while the file is opened.
class HeldFolders {
 public:
  HeldFolders() = default;
  ~HeldFolders() {
    for (HANDLE h : handles_) CloseHandle(h);
  }
  HeldFolders(const HeldFolders&) = delete;
  HeldFolders& operator=(const HeldFolders&) = delete;
  void Hold(HANDLE h) { handles_.push_back(h); }

 private:
  std::vector<HANDLE> handles_;
};

FolderFile Failure(std::string& reason) {
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return FolderFile::kMissing;
  }
  reason = "cannot be opened (error " + std::to_string(error) + ")";
  return FolderFile::kFailed;
}

// Opens `path` itself, a reparse point (a symbolic link, a junction) as the
// point rather than its target, and reads what it is.
HANDLE OpenItself(const std::string& path, bool folder,
                  BY_HANDLE_FILE_INFORMATION& info) {
  DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT;
  if (folder) flags |= FILE_FLAG_BACKUP_SEMANTICS;
  const DWORD access = folder ? static_cast<DWORD>(FILE_READ_ATTRIBUTES)
                              : static_cast<DWORD>(GENERIC_READ);
  HANDLE h = CreateFileA(path.c_str(), access,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return h;
  if (!GetFileInformationByHandle(h, &info)) {
    CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

bool IsReparsePoint(const BY_HANDLE_FILE_INFORMATION& info) {
  return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

FolderFile OpenFolderFile(const std::string& folder,
                          const std::string& relative, OpenedFile& file,
                          std::string& reason) {
  HeldFolders held;
  std::string path = folder;
  size_t start = 0;
  for (size_t end; (end = relative.find('/', start)) != std::string::npos;
       start = end + 1) {
    path += "\\" + relative.substr(start, end - start);
    BY_HANDLE_FILE_INFORMATION info{};
    HANDLE h = OpenItself(path, true, info);
    if (h == INVALID_HANDLE_VALUE) return Failure(reason);
    held.Hold(h);
    if (IsReparsePoint(info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      reason = "is reached through a link or junction (not followed)";
      return FolderFile::kRefused;
    }
  }
  path += "\\" + relative.substr(start);
  BY_HANDLE_FILE_INFORMATION info{};
  HANDLE h = OpenItself(path, false, info);
  if (h == INVALID_HANDLE_VALUE) return Failure(reason);
  const char* problem = nullptr;
  if (IsReparsePoint(info)) {
    problem = "is a link (not followed)";
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
             GetFileType(h) != FILE_TYPE_DISK) {
    problem = "is not a regular file";
  } else if (info.nNumberOfLinks != 1) {
    problem = "has another hard link (not read)";
  }
  if (problem != nullptr) {
    CloseHandle(h);
    reason = problem;
    return FolderFile::kRefused;
  }
  file.handle = reinterpret_cast<intptr_t>(h);
  file.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) |
              info.nFileSizeLow;
  return FolderFile::kRead;
}

long long ReadOpened(const OpenedFile& file, char* buffer, size_t size) {
  DWORD got = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(file.handle), buffer,
                static_cast<DWORD>(size), &got, nullptr)) {
    return -1;
  }
  return static_cast<long long>(got);
}

void CloseOpened(OpenedFile& file) {
  if (file.handle != -1) CloseHandle(reinterpret_cast<HANDLE>(file.handle));
  file.handle = -1;
}

}  // namespace modflash::fleet::detail
