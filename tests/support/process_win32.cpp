#include <windows.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/wide_text.h"
#include "tests/support/process.h"

namespace modflash::testing {

namespace {

// Inheritable handles exist from the pipes' creation until the parent has
// closed its copies of the child's ends. Holding this lock over that span
// keeps a child started by another thread from inheriting them (which would
// hold our pipes open and delay end-of-file until that other child exits).
std::mutex& SpawnMutex() {
  static std::mutex mutex;
  return mutex;
}

// Quotes one argument so that the C runtime's command-line parser hands it
// back unchanged: backslashes are literal except before a double quote.
void AppendQuoted(const std::wstring& arg, std::wstring* line) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line->append(arg);
    return;
  }
  line->push_back(L'"');
  size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line->append(backslashes * 2 + 1, L'\\');
    } else {
      line->append(backslashes, L'\\');
    }
    backslashes = 0;
    line->push_back(c);
  }
  line->append(backslashes * 2, L'\\');
  line->push_back(L'"');
}

void CloseIfOpen(HANDLE* handle) {
  if (*handle != nullptr && *handle != INVALID_HANDLE_VALUE) {
    CloseHandle(*handle);
  }
  *handle = nullptr;
}

void Drain(HANDLE pipe, std::string* sink) {
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got > 0) {
    sink->append(chunk, got);
  }
}

// The C runtime writes text-mode output with "\r\n" line ends; hand back
// "\n" as on POSIX so callers compare one transcript on both platforms.
std::string NormalizeLineEnds(const std::string& text) {
  std::string plain;
  plain.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    plain.push_back(text[i]);
  }
  return plain;
}

}  // namespace

int MinusOneStatus() { return -1; }

ProcessResult RunProcess(const std::string& program,
                         const std::vector<std::string>& args, int timeoutMs) {
  ProcessResult result;
  std::wstring application = Widen(program);
  for (wchar_t& c : application) {
    if (c == L'/') c = L'\\';
  }
  // argv[0] is the name exactly as given, as a POSIX child would see it.
  std::wstring command_line;
  AppendQuoted(Widen(program), &command_line);
  for (const std::string& arg : args) {
    command_line.push_back(L' ');
    AppendQuoted(Widen(arg), &command_line);
  }

  HANDLE out_read = nullptr;
  HANDLE out_write = nullptr;
  HANDLE err_read = nullptr;
  HANDLE err_write = nullptr;
  HANDLE null_in = nullptr;
  PROCESS_INFORMATION info{};
  {
    std::lock_guard<std::mutex> lock(SpawnMutex());
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    if (!CreatePipe(&out_read, &out_write, &inherit, 0)) return result;
    if (!CreatePipe(&err_read, &err_write, &inherit, 0)) {
      CloseIfOpen(&out_read);
      CloseIfOpen(&out_write);
      return result;
    }
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
    null_in =
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherit, OPEN_EXISTING, 0, nullptr);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null_in;
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
    const BOOL started =
        CreateProcessW(application.c_str(), command_line.data(), nullptr,
                       nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
    CloseIfOpen(&out_write);
    CloseIfOpen(&err_write);
    CloseIfOpen(&null_in);
    if (!started) {
      CloseIfOpen(&out_read);
      CloseIfOpen(&err_read);
      return result;
    }
  }
  CloseHandle(info.hThread);

  // One reader per pipe, so a child that fills one pipe while we wait on
  // the other can never stall.
  std::thread err_reader(Drain, err_read, &result.err);
  std::thread out_reader(Drain, out_read, &result.out);
  const DWORD waited = WaitForSingleObject(
      info.hProcess, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
  const bool timed_out = waited != WAIT_OBJECT_0;
  if (timed_out) {
    TerminateProcess(info.hProcess, 1);
    WaitForSingleObject(info.hProcess, INFINITE);
  }
  out_reader.join();
  err_reader.join();
  CloseIfOpen(&out_read);
  CloseIfOpen(&err_read);
  result.out = NormalizeLineEnds(result.out);
  result.err = NormalizeLineEnds(result.err);

  DWORD code = 0;
  if (!timed_out && GetExitCodeProcess(info.hProcess, &code)) {
    // A `return -1` shows as 0xFFFFFFFF, i.e. -1 as a signed status.
    result.status = static_cast<int>(code);
  }
  CloseHandle(info.hProcess);
  return result;
}

}  // namespace modflash::testing
