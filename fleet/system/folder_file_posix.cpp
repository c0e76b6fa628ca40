#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fleet/system/folder_file.h"

namespace modflash::fleet::detail {
namespace {

FolderFile Failure(int error, std::string& reason) {
  if (error == ENOENT) return FolderFile::kMissing;
  if (error == ELOOP || error == ENOTDIR) {
    reason = "is reached through a symbolic link (not followed)";
    return FolderFile::kRefused;
  }
  reason = std::strerror(error);
  return FolderFile::kFailed;
}

// The opened file must be a regular file with no other name: a device, a
// pipe or a hard link to a file elsewhere is refused.
FolderFile Check(int fd, OpenedFile& file, std::string& reason) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return Failure(errno, reason);
  if (!S_ISREG(info.st_mode)) {
    reason = "is not a regular file";
    return FolderFile::kRefused;
  }
  if (info.st_nlink != 1) {
    reason = "has another hard link (not read)";
    return FolderFile::kRefused;
  }
  // Opened without blocking (a pipe would wait for its writer); reads
  // block again.
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return Failure(errno, reason);
  }
  file.handle = fd;
  file.size = static_cast<uint64_t>(info.st_size);
  return FolderFile::kRead;
}

}  // namespace

FolderFile OpenFolderFile(const std::string& folder,
                          const std::string& relative, OpenedFile& file,
                          std::string& reason) {
  // The folder itself is the operator's to name; below it, each component
  // is opened from its parent without following a link.
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return Failure(errno, reason);
  size_t start = 0;
  for (size_t end; (end = relative.find('/', start)) != std::string::npos;
       start = end + 1) {
    const std::string part = relative.substr(start, end - start);
    const int next = openat(dir, part.c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int error = errno;
    close(dir);
    if (next < 0) return Failure(error, reason);
    dir = next;
  }
  const int fd = openat(dir, relative.c_str() + start,
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                            O_CLOEXEC);
  const int error = errno;
  close(dir);
  if (fd < 0) return Failure(error, reason);
  const FolderFile checked = Check(fd, file, reason);
  if (checked != FolderFile::kRead) close(fd);
  return checked;
}

long long ReadOpened(const OpenedFile& file, char* buffer, size_t size) {
  for (;;) {
    const ssize_t got = read(static_cast<int>(file.handle), buffer, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

void CloseOpened(OpenedFile& file) {
  if (file.handle >= 0) close(static_cast<int>(file.handle));
  file.handle = -1;
}

}  // namespace modflash::fleet::detail
