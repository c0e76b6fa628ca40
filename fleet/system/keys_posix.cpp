#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "fleet/system/keys.h"

namespace modflash::fleet {
namespace {

// The terminal's settings from before the keys were read: restored when
// the keys go, and at exit should the program end some other way.
termios savedSettings{};
bool saved = false;
bool exitHookSet = false;

// Sets the terminal's settings even from the background, where the system
// would otherwise stop this program (SIGTTOU) until it is in front again.
void SetQuietly(const termios& settings) {
  sigset_t ttou;
  sigset_t old;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  sigprocmask(SIG_BLOCK, &ttou, &old);
  tcsetattr(STDIN_FILENO, TCSANOW, &settings);
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

void Restore() {
  if (!saved) return;
  saved = false;
  SetQuietly(savedSettings);
}

extern "C" void RestoreAtExit() { Restore(); }

class TerminalKeys : public KeySource {
 public:
  TerminalKeys() { Ready(); }
  ~TerminalKeys() override { Restore(); }
  char Next() override;
  void Wait(int ms) override;

 private:
  bool Ready();
  bool gone_ = false;  // the terminal hung up
};

// Whether keys can be read now: the terminal is there and this program in
// its foreground (a read from the background would stop it, SIGTTIN).
// Each time, the mode is set again should it have been reset (a shell
// after Ctrl-Z and fg).
bool TerminalKeys::Ready() {
  if (gone_ || tcgetpgrp(STDIN_FILENO) != getpgrp()) return false;
  termios now{};
  if (tcgetattr(STDIN_FILENO, &now) != 0) {
    gone_ = true;
    return false;
  }
  if ((now.c_lflag & (ICANON | ECHO)) != 0) {
    // Key by key and unechoed; ISIG stays, so Ctrl-C is still a signal.
    now.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    now.c_cc[VMIN] = 0;
    now.c_cc[VTIME] = 0;
    SetQuietly(now);
  }
  return true;
}

char TerminalKeys::Next() {
  if (!Ready()) return 0;
  pollfd input{STDIN_FILENO, POLLIN, 0};
  if (poll(&input, 1, 0) <= 0) return 0;
  if ((input.revents & POLLIN) == 0) {
    gone_ = true;  // POLLHUP, POLLERR: nothing more to read
    return 0;
  }
  char key = 0;
  const ssize_t n = read(STDIN_FILENO, &key, 1);
  if (n < 0 && errno != EAGAIN && errno != EINTR) gone_ = true;
  return n == 1 ? key : '\0';
}

void TerminalKeys::Wait(int ms) {
  if (Ready()) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    // A key, a signal (-1, EINTR) or the time.
    if (poll(&input, 1, ms) < 0 ||
        (input.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) {
      return;
    }
    gone_ = true;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

std::unique_ptr<KeySource> OpenConsoleKeys() {
  if (isatty(STDIN_FILENO) == 0 || isatty(STDOUT_FILENO) == 0 || saved ||
      tcgetattr(STDIN_FILENO, &savedSettings) != 0) {
    return nullptr;
  }
  saved = true;
  if (!exitHookSet) exitHookSet = std::atexit(RestoreAtExit) == 0;
  return std::make_unique<TerminalKeys>();
}

}  // namespace modflash::fleet
