#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "process/child_process.h"

extern char** environ;

namespace modflash::process {
namespace {

// Appends what is waiting on `fd` without blocking; closes it (and sets it
// to -1) at its end. False once it has ended.
bool Drain(int& fd, std::string& sink) {
  if (fd < 0) return false;
  char chunk[8192];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got > 0) {
      sink.append(chunk, static_cast<size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    close(fd);  // end of output, or an error that ends it
    fd = -1;
    return false;
  }
}

// A pipe whose ends are both close-on-exec; the child's end becomes its
// standard stream through dup2, which clears the flag on the copy.
bool MakePipe(int (&fds)[2], std::string& error) {
  if (pipe2(fds, O_CLOEXEC) == 0) return true;
  error = std::string("cannot make a pipe: ") + std::strerror(errno);
  return false;
}

void SetUpSignals(posix_spawnattr_t& attr, const StartOptions& options) {
  // The child starts with no blocked signals and the default actions for
  // the interruptions that the fleet catches or ignores.
  sigset_t none;
  sigset_t defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (options.detached) {
    // A new session is a new process group too; both at once would fail.
    flags = static_cast<short>(flags | POSIX_SPAWN_SETSID);
  } else if (options.ownGroup) {
    posix_spawnattr_setpgroup(&attr, 0);
    flags = static_cast<short>(flags | POSIX_SPAWN_SETPGROUP);
  }
  posix_spawnattr_setflags(&attr, flags);
}

// Creates `path` anew for the child's standard output (`write`, which
// becomes its descriptor 1) and opens it again to follow (`read`).
bool OpenOutputFile(const std::string& path, int& write, int& read,
                    std::string& error) {
  write = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  read = write < 0 ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (read >= 0) return true;
  error = "cannot create " + path + ": " + std::strerror(errno);
  if (write >= 0) close(write);
  write = -1;
  return false;
}

// The pipe that tells of a child's end: its write end becomes the child's
// descriptor 3 (numbered above it here, so that the copy is a true one that
// drops close-on-exec), which nothing writes and which closes when the
// child ends.
bool MakeWatch(int (&fds)[2], std::string& error) {
  if (!MakePipe(fds, error)) return false;
  const int high = fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
  close(fds[1]);
  fds[1] = high;
  if (high >= 0) return true;
  error = std::string("cannot make a pipe: ") + std::strerror(errno);
  close(fds[0]);
  fds[0] = -1;
  return false;
}

ChildExit ExitOf(int status) {
  ChildExit result;
  if (WIFEXITED(status)) {
    result.exited = true;
    result.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace

struct ChildProcess::Impl {
  pid_t pid = -1;
  int out = -1;     // read end of the child's standard output, on a pipe
  int follow = -1;  // its output file, opened to read, when in one
  int err = -1;     // read end of its standard error, when on a pipe
  // With an output file: the read end of a pipe whose write end only the
  // child holds, so that it ends (and wakes WaitForAny) when the child does.
  int watch = -1;
  bool reaped = false;
  ChildExit exit;  // once reaped

  /// Reaps the child if it has ended (waiting for it when `block`); true
  /// once it is reaped.
  bool Reap(bool block) {
    if (reaped || pid <= 0) return reaped;
    int status = 0;
    pid_t got = 0;
    while ((got = waitpid(pid, &status, block ? 0 : WNOHANG)) < 0 &&
           errno == EINTR) {
    }
    if (got != pid) return false;
    reaped = true;
    if (watch >= 0) close(watch);
    watch = -1;
    exit = ExitOf(status);
    return true;
  }
};

ChildProcess::ChildProcess() : impl_(std::make_unique<Impl>()) {}

ChildProcess::~ChildProcess() {
  if (impl_->pid > 0 && !impl_->reaped) {
    Kill();
    int status = 0;
    waitpid(impl_->pid, &status, 0);
  }
  for (const int fd : {impl_->out, impl_->follow, impl_->err, impl_->watch}) {
    if (fd >= 0) close(fd);
  }
}

bool ChildProcess::Start(const std::string& program,
                         const std::vector<std::string>& args,
                         const StartOptions& options, std::string& error) {
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  const bool outputPipe = options.outputFile.empty();
  const bool errorPipe = options.errorFile.empty();
  int watch[2] = {-1, -1};
  const bool made =
      outputPipe ? MakePipe(out, error)
                 : OpenOutputFile(options.outputFile, out[1], out[0], error) &&
                       MakeWatch(watch, error);
  if (!made || (errorPipe && !MakePipe(err, error))) {
    for (const int fd : {out[0], out[1], watch[0], watch[1]}) {
      if (fd >= 0) close(fd);
    }
    return false;
  }
  std::vector<std::string> storage;
  storage.push_back(program);
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (watch[1] >= 0) posix_spawn_file_actions_adddup2(&actions, watch[1], 3);
  if (errorPipe) {
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, options.errorFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  SetUpSignals(attr, options);
  const int rc = posix_spawn(&impl_->pid, program.c_str(), &actions, &attr,
                             argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(out[1]);
  if (errorPipe) close(err[1]);
  if (watch[1] >= 0) close(watch[1]);
  impl_->watch = watch[0];
  if (rc != 0) {
    close(out[0]);
    if (errorPipe) close(err[0]);
    impl_->pid = -1;
    error = "cannot start " + program + ": " + std::strerror(rc);
    return false;
  }
  (outputPipe ? impl_->out : impl_->follow) = out[0];
  impl_->err = err[0];
  for (const int fd : {impl_->out, impl_->err}) {
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  return true;
}

bool ChildProcess::ReadOutput(std::string& sink) {
  if (impl_->follow < 0) return Drain(impl_->out, sink);
  // Whether it has ended is asked first: all it wrote before is in the
  // file by then, so the reads below hand out the last of it.
  const bool ended = impl_->Reap(false);
  char chunk[8192];
  ssize_t got = 0;
  while ((got = read(impl_->follow, chunk, sizeof chunk)) > 0 ||
         (got < 0 && errno == EINTR)) {
    if (got > 0) sink.append(chunk, static_cast<size_t>(got));
  }
  if (!ended) return true;
  close(impl_->follow);
  impl_->follow = -1;
  return false;
}

bool ChildProcess::ReadError(std::string& sink) {
  return Drain(impl_->err, sink);
}

ChildExit ChildProcess::Wait() {
  return impl_->Reap(true) ? impl_->exit : ChildExit{};
}

void ChildProcess::Kill() {
  if (impl_->pid > 0 && !impl_->reaped) kill(impl_->pid, SIGKILL);
}

long ChildProcess::Id() const { return static_cast<long>(impl_->pid); }

void ChildProcess::WaitForAny(const std::vector<ChildProcess*>& children,
                              int timeoutMs) {
  std::vector<pollfd> fds;
  for (const ChildProcess* child : children) {
    for (const int fd :
         {child->impl_->out, child->impl_->err, child->impl_->watch}) {
      if (fd >= 0) fds.push_back({fd, POLLIN, 0});
    }
  }
  // A signal cuts the wait short (EINTR), which is what an interruption
  // wants.
  poll(fds.data(), static_cast<nfds_t>(fds.size()), timeoutMs);
}

std::string OwnDirectory(const char* argv0) {
  char path[PATH_MAX];
  const ssize_t size = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string self;
  if (size > 0) {
    self.assign(path, static_cast<size_t>(size));
  } else if (argv0 != nullptr) {
    self = argv0;
  }
  const size_t slash = self.rfind('/');
  return slash == std::string::npos ? "." : self.substr(0, slash);
}

std::string ProgramFileName(const std::string& base) { return base; }

}  // namespace modflash::process
