#include <windows.h>

#include "fleet/system/keys.h"

namespace modflash::fleet {
namespace {

// The character of a key pressed down that has one (a letter, a digit);
// 0 for any other event (a key let go, the mouse, a new window size).
char KeyPressed(const INPUT_RECORD& record) {
  if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) {
    return 0;
  }
  const WCHAR c = record.Event.KeyEvent.uChar.UnicodeChar;
  return c > 0 && c < 128 ? static_cast<char>(c) : '\0';
}

// The console's input buffer, read event by event: ReadConsoleInput only
// when an event waits, so it never blocks. Nothing is echoed, and Ctrl-C
// stays the console's (ENABLE_PROCESSED_INPUT is left as it is).
class ConsoleKeys : public KeySource {
 public:
  explicit ConsoleKeys(HANDLE input) : input_(input) {}

  char Next() override {
    DWORD waiting = 0;
    while (GetNumberOfConsoleInputEvents(input_, &waiting) && waiting > 0) {
      INPUT_RECORD record;
      DWORD read = 0;
      if (!ReadConsoleInputW(input_, &record, 1, &read) || read == 0) break;
      if (const char key = KeyPressed(record)) return key;
    }
    return 0;
  }

  void Wait(int ms) override {
    const ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(ms);
    for (ULONGLONG now = GetTickCount64(); now < until;
         now = GetTickCount64()) {
      if (WaitForSingleObject(input_, static_cast<DWORD>(until - now)) !=
          WAIT_OBJECT_0) {
        return;
      }
      // Other events wake the wait too: they are dropped; a key press
      // stays for Next.
      INPUT_RECORD record;
      DWORD read = 0;
      if (!PeekConsoleInputW(input_, &record, 1, &read) || read == 0) {
        Sleep(static_cast<DWORD>(until - now));
        return;
      }
      if (KeyPressed(record) != 0) return;
      ReadConsoleInputW(input_, &record, 1, &read);
    }
  }

 private:
  HANDLE input_;
};

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && handle != nullptr &&
         GetConsoleMode(handle, &mode);
}

}  // namespace

std::unique_ptr<KeySource> OpenConsoleKeys() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (!IsConsole(input) || !IsConsole(GetStdHandle(STD_OUTPUT_HANDLE))) {
    return nullptr;
  }
  return std::make_unique<ConsoleKeys>(input);
}

}  // namespace modflash::fleet
