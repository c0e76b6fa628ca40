#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fleet/child_process.h"

extern char** environ;

namespace modflash::fleet {

struct ChildProcess::Impl {
  pid_t pid = -1;
  int out = -1;  // read end of the child's standard output
  bool reaped = false;
};

ChildProcess::ChildProcess() : impl_(std::make_unique<Impl>()) {}

ChildProcess::~ChildProcess() {
  if (impl_->pid > 0 && !impl_->reaped) {
    Kill();
    int status = 0;
    waitpid(impl_->pid, &status, 0);
  }
  if (impl_->out >= 0) close(impl_->out);
}

bool ChildProcess::Start(const std::string& program,
                         const std::vector<std::string>& args,
                         const std::string& errorFile, std::string& error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    error = std::string("cannot make a pipe: ") + std::strerror(errno);
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
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Own process group: a Ctrl-C at the terminal must not end an update.
  sigset_t none;
  sigset_t defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(
      &attr, static_cast<short>(POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                POSIX_SPAWN_SETSIGDEF));
  const int rc = posix_spawn(&impl_->pid, program.c_str(), &actions, &attr,
                             argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    impl_->pid = -1;
    error = "cannot start " + program + ": " + std::strerror(rc);
    return false;
  }
  impl_->out = fds[0];
  fcntl(impl_->out, F_SETFL, fcntl(impl_->out, F_GETFL) | O_NONBLOCK);
  return true;
}

bool ChildProcess::ReadOutput(std::string& sink) {
  if (impl_->out < 0) return false;
  char chunk[8192];
  for (;;) {
    const ssize_t got = read(impl_->out, chunk, sizeof chunk);
    if (got > 0) {
      sink.append(chunk, static_cast<size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    close(impl_->out);  // end of output, or an error that ends it
    impl_->out = -1;
    return false;
  }
}

ChildExit ChildProcess::Wait() {
  ChildExit result;
  if (impl_->pid <= 0 || impl_->reaped) return result;
  int status = 0;
  while (waitpid(impl_->pid, &status, 0) < 0 && errno == EINTR) {
  }
  impl_->reaped = true;
  if (WIFEXITED(status)) {
    result.exited = true;
    result.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

void ChildProcess::Kill() {
  if (impl_->pid > 0 && !impl_->reaped) kill(impl_->pid, SIGKILL);
}

long ChildProcess::Id() const { return static_cast<long>(impl_->pid); }

void ChildProcess::WaitForAny(const std::vector<ChildProcess*>& children,
                              int timeoutMs) {
  std::vector<pollfd> fds;
  for (const ChildProcess* child : children) {
    if (child->impl_->out >= 0) fds.push_back({child->impl_->out, POLLIN, 0});
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

}  // namespace modflash::fleet
