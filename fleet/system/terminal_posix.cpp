#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "fleet/system/terminal.h"

namespace modflash::fleet {
namespace {

std::atomic<int> interruptions{0};
std::atomic<bool> hungUp{false};

extern "C" void OnInterrupt(int) { interruptions.fetch_add(1); }
extern "C" void OnHangUp(int) { hungUp.store(true); }

}  // namespace

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a waiting poll() returns at once
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  action.sa_handler = OnHangUp;
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int Interruptions() { return interruptions.load(); }

bool HungUp() { return hungUp.load(); }

bool HangUpEnds() { return false; }

void HangUpNoted() {}

bool PrepareTerminal() {
  if (isatty(STDOUT_FILENO) == 0) return false;
  const char* term = getenv("TERM");
  return term != nullptr && *term != '\0' && std::string(term) != "dumb";
}

bool TerminalSize(int& rows, int& columns) {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return false;
  if (size.ws_row == 0 || size.ws_col == 0) return false;
  rows = size.ws_row;
  columns = size.ws_col;
  return true;
}

std::tm LocalTime(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

}  // namespace modflash::fleet
