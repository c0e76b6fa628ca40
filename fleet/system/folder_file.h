#ifndef MODFLASH_FLEET_FOLDER_FILE_H_
#define MODFLASH_FLEET_FOLDER_FILE_H_

#include <cstdint>
#include <string>

namespace modflash::fleet {

/// How reading a file of a run folder ended.
enum class FolderFile {
  kRead,
  kMissing,   ///< the file (or a folder on its way) does not exist
  kRefused,   ///< a link, a device, a path that leaves the folder, too large
  kFailed     ///< the system could not read it
};

/// Whether `relative` names a file below its folder: components separated
/// by '/', none empty, "." or "..", no '\\' or ':' (a drive, a stream).
bool InsideFolderPath(const std::string& relative);

/// Reads the file `relative` of the run folder `folder` into `contents`.
/// Run folders may come from other machines, so no symbolic link (on
/// Windows, no reparse point) is followed below `folder`, and what is
/// opened must be a regular file with no other hard link. At most `limit`
/// bytes: a larger file is refused unread. Except for kRead, `reason` says
/// why (without the path).
FolderFile ReadFolderFile(const std::string& folder,
                          const std::string& relative, uint64_t limit,
                          std::string& contents, std::string& reason);

/// Copies the file `relative` of `folder`, opened as ReadFolderFile does,
/// to `target` (replaced). The target's folder must exist.
FolderFile CopyFolderFile(const std::string& folder,
                          const std::string& relative, uint64_t limit,
                          const std::string& target, std::string& reason);

namespace detail {

/// A file opened by OpenFolderFile; platform-specific.
struct OpenedFile {
  intptr_t handle = -1;
  uint64_t size = 0;
};

/// Opens `relative` (checked by InsideFolderPath) below `folder`, one
/// component at a time without following links, and checks what was
/// opened. Implemented in folder_file_posix.cpp / folder_file_win32.cpp.
FolderFile OpenFolderFile(const std::string& folder,
                          const std::string& relative, OpenedFile& file,
                          std::string& reason);

/// Up to `size` bytes into `buffer`: the count, 0 at the end, -1 on error.
long long ReadOpened(const OpenedFile& file, char* buffer, size_t size);

void CloseOpened(OpenedFile& file);

}  // namespace detail
}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_FOLDER_FILE_H_
