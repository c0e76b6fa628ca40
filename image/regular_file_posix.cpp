#include <sys/stat.h>

#include "image/regular_file.h"

namespace modflash {

bool IsRegularFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace modflash
