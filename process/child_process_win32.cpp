#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/wide_text.h"
#include "process/child_process.h"

namespace modflash::process {
namespace {

// Held from the creation of a child's inheritable handles until the parent
// has closed its copies of them (see child_process.h).
std::mutex& SpawnMutex() {
  static std::mutex mutex;
  return mutex;
}

// Output of every child arrives on reader threads; each new piece wakes
// the WaitForAny calls, which look whether one of their own children has
// news.
std::mutex& ActivityMutex() {
  static std::mutex mutex;
  return mutex;
}
std::condition_variable& ActivitySignal() {
  static std::condition_variable signal;
  return signal;
}

void Wake() {
  std::lock_guard<std::mutex> lock(ActivityMutex());
  ActivitySignal().notify_all();
}

VOID CALLBACK OnEnd(PVOID, BOOLEAN) { Wake(); }

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

// The parent's end of one of the child's output pipes, read on a thread of
// its own so that a child filling one pipe never stalls on the other.
class PipeReader {
 public:
  /// Where CreatePipe puts the parent's end.
  HANDLE* end() { return &pipe_; }
  bool open() const { return pipe_ != nullptr; }
  void Close() { CloseIfOpen(pipe_); }

  void Start() {
    if (pipe_ != nullptr) thread_ = std::thread([this] { Read(); });
  }

  /// Appends what arrived since the last call; false once the pipe has
  /// ended and all of it was handed out.
  bool Take(std::string& sink) {
    if (handedOut_ || pipe_ == nullptr) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    sink += pending_;
    pending_.clear();
    if (ended_) handedOut_ = true;
    return !ended_;
  }

  /// True when Take would hand out something new, or the end.
  bool HasNews() {
    if (handedOut_ || pipe_ == nullptr) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_ || !pending_.empty();
  }

  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Read() {
    char chunk[8192];
    DWORD got = 0;
    while (ReadFile(pipe_, chunk, sizeof chunk, &got, nullptr) && got > 0) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.append(chunk, got);
      }
      Wake();
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ended_ = true;
    }
    Wake();
  }

  HANDLE pipe_ = nullptr;
  std::thread thread_;
  std::mutex mutex_;  // guards pending_ and ended_
  std::string pending_;
  bool ended_ = false;
  bool handedOut_ = false;  // Take reported the end
};

std::wstring CommandLine(const std::string& program,
                         const std::vector<std::string>& args) {
  // argv[0] is the name exactly as given, as a POSIX child would see it.
  std::wstring line;
  AppendQuoted(Widen(program), line);
  for (const std::string& arg : args) {
    line.push_back(L' ');
    AppendQuoted(Widen(arg), line);
  }
  return line;
}

// The child's standard handles: inheritable, for the span of its creation.
struct ChildHandles {
  HANDLE in = nullptr;
  HANDLE out = nullptr;
  HANDLE err = nullptr;

  ~ChildHandles() {
    CloseIfOpen(in);
    CloseIfOpen(out);
    CloseIfOpen(err);
  }
};

// Creates the process; 0, or the system's error. A detached child has no
// console of ours, and leaves our job when the job lets it, so that neither
// a closed console window nor the end of the job ends it.
DWORD Create(const std::wstring& application, std::wstring& commandLine,
             const StartOptions& options, STARTUPINFOW& startup,
             PROCESS_INFORMATION& info) {
  DWORD flags =
      options.ownGroup || options.detached ? CREATE_NEW_PROCESS_GROUP : 0;
  if (options.detached) flags |= DETACHED_PROCESS;
  const DWORD tries[] = {
      flags | (options.detached ? CREATE_BREAKAWAY_FROM_JOB : 0), flags};
  DWORD error = 0;
  for (const DWORD creation : tries) {
    if (CreateProcessW(application.c_str(), commandLine.data(), nullptr,
                       nullptr, TRUE, creation, nullptr, nullptr, &startup,
                       &info)) {
      return 0;
    }
    error = GetLastError();
    // A job that forbids leaving it refuses the first try.
    if (error != ERROR_ACCESS_DENIED || creation == flags) break;
  }
  return error;
}

}  // namespace

struct ChildProcess::Impl {
  HANDLE process = nullptr;
  DWORD id = 0;
  PipeReader out;
  HANDLE follow = nullptr;   // the output file, opened to read, when in one
  HANDLE endWait = nullptr;  // wakes WaitForAny at the end of such a child
  PipeReader err;
  bool reaped = false;

  /// Whether a child whose output goes to a file has ended.
  bool FollowedEnded() const {
    return follow != nullptr &&
           WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  }

  bool MakeHandles(const StartOptions& options, ChildHandles& child,
                   std::string& error);
};

bool ChildProcess::Impl::MakeHandles(const StartOptions& options,
                                     ChildHandles& child, std::string& error) {
  SECURITY_ATTRIBUTES inherit{};
  inherit.nLength = sizeof inherit;
  inherit.bInheritHandle = TRUE;
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  if (!options.outputFile.empty()) {
    const std::wstring path = Widen(options.outputFile);
    child.out = CreateFileW(path.c_str(), GENERIC_WRITE, share, &inherit,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    follow = CreateFileW(path.c_str(), GENERIC_READ, share, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (child.out == INVALID_HANDLE_VALUE || follow == INVALID_HANDLE_VALUE) {
      error = "cannot create " + options.outputFile + ", error " +
              std::to_string(GetLastError());
      CloseIfOpen(follow);
      return false;
    }
  } else if (!CreatePipe(out.end(), &child.out, &inherit, 0)) {
    error = "cannot make a pipe, error " + std::to_string(GetLastError());
    return false;
  }
  if (options.errorFile.empty() &&
      !CreatePipe(err.end(), &child.err, &inherit, 0)) {
    error = "cannot make a pipe, error " + std::to_string(GetLastError());
    out.Close();
    CloseIfOpen(follow);
    return false;
  }
  // Our ends stay here.
  if (out.open()) SetHandleInformation(*out.end(), HANDLE_FLAG_INHERIT, 0);
  if (err.open()) SetHandleInformation(*err.end(), HANDLE_FLAG_INHERIT, 0);
  if (!options.errorFile.empty()) {
    child.err = CreateFileW(Widen(options.errorFile).c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  child.in =
      CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  &inherit, OPEN_EXISTING, 0, nullptr);
  return true;
}

ChildProcess::ChildProcess() : impl_(std::make_unique<Impl>()) {}

ChildProcess::~ChildProcess() {
  if (impl_->process != nullptr && !impl_->reaped) {
    Kill();
    WaitForSingleObject(impl_->process, INFINITE);
  }
  for (PipeReader* reader : {&impl_->out, &impl_->err}) {
    reader->Join();
    reader->Close();
  }
  // Waits for a callback under way, so that none comes after this.
  if (impl_->endWait != nullptr)
    UnregisterWaitEx(impl_->endWait, INVALID_HANDLE_VALUE);
  CloseIfOpen(impl_->follow);
  CloseIfOpen(impl_->process);
}

bool ChildProcess::Start(const std::string& program,
                         const std::vector<std::string>& args,
                         const StartOptions& options, std::string& error) {
  std::wstring application = Widen(program);
  for (wchar_t& c : application) {
    if (c == L'/') c = L'\\';
  }
  std::wstring commandLine = CommandLine(program, args);
  PROCESS_INFORMATION info{};
  {
    std::lock_guard<std::mutex> lock(SpawnMutex());
    ChildHandles child;
    if (!impl_->MakeHandles(options, child, error)) return false;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child.in;
    startup.hStdOutput = child.out;
    startup.hStdError = child.err;
    const DWORD startError =
        Create(application, commandLine, options, startup, info);
    if (startError != 0) {
      error =
          "cannot start " + program + ", error " + std::to_string(startError);
      impl_->out.Close();
      impl_->err.Close();
      CloseIfOpen(impl_->follow);
      return false;
    }
  }  // the child's handles are closed here, under the lock
  CloseHandle(info.hThread);
  impl_->process = info.hProcess;
  impl_->id = info.dwProcessId;
  impl_->out.Start();
  impl_->err.Start();
  if (impl_->follow != nullptr &&
      !RegisterWaitForSingleObject(&impl_->endWait, impl_->process, OnEnd,
                                   nullptr, INFINITE, WT_EXECUTEONLYONCE)) {
    impl_->endWait = nullptr;  // WaitForAny then only times out
  }
  return true;
}

bool ChildProcess::ReadOutput(std::string& sink) {
  if (impl_->process == nullptr) return false;
  if (impl_->follow == nullptr) return impl_->out.Take(sink);
  // Whether it has ended is asked first: all it wrote before is in the
  // file by then, so the reads below hand out the last of it.
  const bool ended = WaitForSingleObject(impl_->process, 0) == WAIT_OBJECT_0;
  char chunk[8192];
  DWORD got = 0;
  while (ReadFile(impl_->follow, chunk, sizeof chunk, &got, nullptr) &&
         got > 0) {
    sink.append(chunk, got);
  }
  if (!ended) return true;
  CloseIfOpen(impl_->follow);
  return false;
}

bool ChildProcess::ReadError(std::string& sink) {
  return impl_->process != nullptr && impl_->err.Take(sink);
}

ChildExit ChildProcess::Wait() {
  ChildExit result;
  if (impl_->process == nullptr || impl_->reaped) return result;
  WaitForSingleObject(impl_->process, INFINITE);
  impl_->out.Join();
  impl_->err.Join();
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
  std::unique_lock<std::mutex> lock(ActivityMutex());
  ActivitySignal().wait_for(
      lock, std::chrono::milliseconds(timeoutMs), [&children] {
        for (ChildProcess* child : children) {
          if (child->impl_->out.HasNews() || child->impl_->err.HasNews() ||
              child->impl_->FollowedEnded()) {
            return true;
          }
        }
        return false;
      });
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

}  // namespace modflash::process
