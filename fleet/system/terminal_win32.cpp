#include <windows.h>

#include <atomic>

#include "fleet/system/terminal.h"

namespace modflash::fleet {
namespace {

std::atomic<int> interruptions{0};
std::atomic<bool> hungUp{false};
std::atomic<bool> hangUpNoted{false};

// The system ends the program once the handler of a close or log-off
// returns, or after its grace of about 5 seconds: the run has until then to
// note it. The children run without our console, so they go on.
BOOL OnClose() {
  hungUp.store(true);
  for (int i = 0; i < 40 && !hangUpNoted.load(); ++i) Sleep(100);
  return TRUE;
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      interruptions.fetch_add(1);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      return OnClose();
    default:
      return FALSE;
  }
}

// Wine's ntdll exports its version; Windows' does not. Wine's console takes
// the virtual-terminal mode but shows the sequences as text.
bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr &&
         GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

void InstallInterruptHandler() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

int Interruptions() { return interruptions.load(); }

bool HungUp() { return hungUp.load(); }

bool HangUpEnds() { return true; }

void HangUpNoted() { hangUpNoted.store(true); }

bool PrepareTerminal() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  // A pipe or a file is no console.
  if (out == INVALID_HANDLE_VALUE || out == nullptr ||
      !GetConsoleMode(out, &mode)) {
    return false;
  }
  if (UnderWine()) return false;
  // Consoles before Windows 10 refuse the mode; it is read back to be sure.
  const DWORD vt = ENABLE_VIRTUAL_TERMINAL_PROCESSING;
  if ((mode & vt) == 0 && !SetConsoleMode(out, mode | vt)) return false;
  return GetConsoleMode(out, &mode) && (mode & vt) != 0;
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
