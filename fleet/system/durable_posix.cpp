#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "fleet/system/durable.h"

namespace modflash::fleet {
namespace {

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return fsync(fd) == 0;
}

// Whether /proc tells of `pid` as ended but not reaped; false where there
// is no /proc.
bool Zombie(long pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  const size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() &&
         text[close + 2] == 'Z';
}

// Opens `path` for writing with `flags`, writes `text` and flushes it.
bool WriteFile(const std::string& path, int flags, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | flags, 0644);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, text);
  return close(fd) == 0 && written;
}

}  // namespace

bool AppendDurably(const std::string& path, const std::string& text) {
  const int fd =
      open(path.c_str(), O_WRONLY | O_CLOEXEC | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return false;
  struct stat before {};
  const bool sized = fstat(fd, &before) == 0;
  const bool written = sized && WriteAll(fd, text);
  // A part written (a full disk) is taken back: the file keeps whole lines.
  if (!written && sized && ftruncate(fd, before.st_size) == 0) fsync(fd);
  return close(fd) == 0 && written;
}

bool ReplaceDurably(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".new";
  if (!WriteFile(temporary, O_CREAT | O_TRUNC, text) ||
      std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

bool CreateExclusively(const std::string& path, const std::string& text) {
  return WriteFile(path, O_CREAT | O_EXCL, text);
}

long OwnProcessId() { return static_cast<long>(getpid()); }

bool ProcessRuns(long pid) {
  if (pid <= 0) return false;
  const bool exists = kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
  return exists && !Zombie(pid);
}

}  // namespace modflash::fleet
