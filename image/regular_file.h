#ifndef MODFLASH_IMAGE_REGULAR_FILE_H_
#define MODFLASH_IMAGE_REGULAR_FILE_H_

#include <string>

namespace modflash {

/// True when `path` names an existing regular file (not a directory, pipe,
/// device or socket). Looks at the path without opening it, so that a pipe
/// with no writer cannot block the caller.
bool IsRegularFile(const std::string& path);

}  // namespace modflash

#endif  // MODFLASH_IMAGE_REGULAR_FILE_H_
