#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "fleet/child_process.h"
#include "platform/wide_text.h"

namespace modflash::fleet {
namespace {

// Output of every child arrives on its own reader thread; this wakes the
// main loop whenever any of them has something.
std::mutex& ActivityMutex() {
  static std::mutex mutex;
  return mutex;
}
std::condition_variable& ActivitySignal() {
  static std::condition_variable signal;
  return signal;
}
bool activity = false;  // guarded by ActivityMutex()

// Quotes one argument so that the C runtime's parser hands it back
// unchanged: backslashes are literal except before a double quote.
void AppendQuoted(const std::wstring& arg, std::wstring& line) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line.append(arg);
    return;
  }
  line.push_back(L'"');
  size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line.push_back(c);
  }
  line.append(backslashes * 2, L'\\');
  line.push_back(L'"');
}

void CloseIfOpen(HANDLE& handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  handle = nullptr;
}

}  // namespace

struct ChildProcess::Impl {
  HANDLE process = nullptr;
  DWORD id = 0;
  HANDLE out = nullptr;
  std::thread reader;
  std::mutex mutex;  // guards pending and ended
  std::string pending;
  bool ended = false;
  bool handedOut = false;  // ReadOutput reported the end
  bool reaped = false;

  void Read() {
    char chunk[8192];
    DWORD got = 0;
    while (ReadFile(out, chunk, sizeof chunk, &got, nullptr) && got > 0) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        pending.append(chunk, got);
      }
      Wake();
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      ended = true;
    }
    Wake();
  }

  static void Wake() {
    {
      std::lock_guard<std::mutex> lock(ActivityMutex());
      activity = true;
    }
    ActivitySignal().notify_all();
  }
};

ChildProcess::ChildProcess() : impl_(std::make_unique<Impl>()) {}

ChildProcess::~ChildProcess() {
  if (impl_->process != nullptr && !impl_->reaped) {
    Kill();
    WaitForSingleObject(impl_->process, INFINITE);
  }
  if (impl_->reader.joinable()) impl_->reader.join();
  CloseIfOpen(impl_->out);
  CloseIfOpen(impl_->process);
}

bool ChildProcess::Start(const std::string& program,
                         const std::vector<std::string>& args,
                         const std::string& errorFile, std::string& error) {
  std::wstring application = Widen(program);
  for (wchar_t& c : application) {
    if (c == L'/') c = L'\\';
  }
  std::wstring commandLine;
  AppendQuoted(Widen(program), commandLine);
  for (const std::string& arg : args) {
    commandLine.push_back(L' ');
    AppendQuoted(Widen(arg), commandLine);
  }

  SECURITY_ATTRIBUTES inherit{};
  inherit.nLength = sizeof inherit;
  inherit.bInheritHandle = TRUE;
  HANDLE outWrite = nullptr;
  if (!CreatePipe(&impl_->out, &outWrite, &inherit, 0)) {
    error = "cannot make a pipe, error " + std::to_string(GetLastError());
    return false;
  }
  SetHandleInformation(impl_->out, HANDLE_FLAG_INHERIT, 0);
  HANDLE nullIn =
      CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  &inherit, OPEN_EXISTING, 0, nullptr);
  HANDLE errFile =
      CreateFileW(Widen(errorFile).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                  &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullIn;
  startup.hStdOutput = outWrite;
  startup.hStdError = errFile;
  PROCESS_INFORMATION info{};
  // A process group of its own: Ctrl-C at the console reaches only us.
  const BOOL started = CreateProcessW(
      application.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
      CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &info);
  const DWORD startError = GetLastError();
  CloseIfOpen(outWrite);
  CloseIfOpen(nullIn);
  CloseIfOpen(errFile);
  if (!started) {
    CloseIfOpen(impl_->out);
    error = "cannot start " + program + ", error " + std::to_string(startError);
    return false;
  }
  CloseHandle(info.hThread);
  impl_->process = info.hProcess;
  impl_->id = info.dwProcessId;
  impl_->reader = std::thread([impl = impl_.get()] { impl->Read(); });
  return true;
}

bool ChildProcess::ReadOutput(std::string& sink) {
  if (impl_->handedOut || impl_->process == nullptr) return false;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  sink += impl_->pending;
  impl_->pending.clear();
  if (impl_->ended) impl_->handedOut = true;
  return !impl_->ended;
}

ChildExit ChildProcess::Wait() {
  ChildExit result;
  if (impl_->process == nullptr || impl_->reaped) return result;
  WaitForSingleObject(impl_->process, INFINITE);
  if (impl_->reader.joinable()) impl_->reader.join();
  impl_->reaped = true;
  DWORD code = 0;
  if (GetExitCodeProcess(impl_->process, &code)) {
    result.exited = true;
    // A `return -1` shows as 0xFFFFFFFF, that is -1 as a signed status.
    result.status = static_cast<int>(code);
  }
  return result;
}

void ChildProcess::Kill() {
  if (impl_->process != nullptr && !impl_->reaped) {
    TerminateProcess(impl_->process, 1);
  }
}

long ChildProcess::Id() const { return static_cast<long>(impl_->id); }

void ChildProcess::WaitForAny(const std::vector<ChildProcess*>& children,
                              int timeoutMs) {
  (void)children;  // every reader thread wakes the one shared signal
  std::unique_lock<std::mutex> lock(ActivityMutex());
  ActivitySignal().wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [] { return activity; });
  activity = false;
}

std::string OwnDirectory(const char* argv0) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size = GetModuleFileNameW(nullptr, path.data(),
                                          static_cast<DWORD>(path.size()));
    if (size == 0) {
      path = Widen(argv0 != nullptr ? argv0 : "");
      break;
    }
    if (size < path.size()) {
      path.resize(size);
      break;
    }
    path.resize(path.size() * 2);
  }
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? "." : Narrow(path.substr(0, slash));
}

std::string ProgramFileName(const std::string& base) { return base + ".exe"; }

}  // namespace modflash::fleet
