#include <windows.h>

#include <atomic>

#include "fleet/console.h"

namespace modflash::fleet {
namespace {

std::atomic<int> interruptions{0};

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      interruptions.fetch_add(1);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void InstallInterruptHandler() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

int Interruptions() { return interruptions.load(); }

bool PrepareTerminal() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
  // ENABLE_VIRTUAL_TERMINAL_PROCESSING; older consoles refuse it.
  return SetConsoleMode(out, mode | 0x0004) != 0;
}

bool TerminalSize(int& rows, int& columns) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    return false;
  }
  // The window onto the buffer: what the user sees.
  rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  columns = info.srWindow.Right - info.srWindow.Left + 1;
  return true;
}

std::tm LocalTime(std::time_t t) {
  std::tm local{};
  localtime_s(&local, &t);
  return local;
}

}  // namespace modflash::fleet
