#include <windows.h>

#include <cstdio>

#include "fleet/system/durable.h"

namespace modflash::fleet {
namespace {

bool WriteAll(HANDLE file, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(
        text.size() - done > 1u << 20 ? 1u << 20 : text.size() - done);
    if (!WriteFile(file, text.data() + done, chunk, &written, nullptr) ||
        written == 0) {
      return false;
    }
    done += written;
  }
  return FlushFileBuffers(file) != 0;
}

bool WriteFileWhole(const std::string& path, const std::string& text,
                    DWORD access, DWORD disposition) {
  HANDLE file = CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr,
                            disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool written = WriteAll(file, text);
  return CloseHandle(file) != 0 && written;
}

}  // namespace

bool AppendDurably(const std::string& path, const std::string& text) {
  // Written at its end by this one writer; open for writing so that a part
  // written can be taken back.
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER before{};
  const bool sized = GetFileSizeEx(file, &before) != 0 &&
                     SetFilePointerEx(file, before, nullptr, FILE_BEGIN) != 0;
  const bool written = sized && WriteAll(file, text);
  // A part written (a full disk) is taken back: the file keeps whole lines.
  if (!written && sized &&
      SetFilePointerEx(file, before, nullptr, FILE_BEGIN) &&
      SetEndOfFile(file)) {
    FlushFileBuffers(file);
  }
  return CloseHandle(file) != 0 && written;
}

bool ReplaceDurably(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".new";
  if (!WriteFileWhole(temporary, text, GENERIC_WRITE, CREATE_ALWAYS) ||
      !MoveFileExA(temporary.c_str(), path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileA(temporary.c_str());
    return false;
  }
  return true;
}

bool CreateExclusively(const std::string& path, const std::string& text) {
  return WriteFileWhole(path, text, GENERIC_WRITE, CREATE_NEW);
}

long OwnProcessId() { return static_cast<long>(GetCurrentProcessId()); }

bool ProcessRuns(long pid) {
  if (pid <= 0) return false;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                               static_cast<DWORD>(pid));
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  const bool runs =
      GetExitCodeProcess(process, &code) != 0 && code == STILL_ACTIVE;
  CloseHandle(process);
  return runs;
}

}  // namespace modflash::fleet
