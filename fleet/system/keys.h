#ifndef MODFLASH_FLEET_SYSTEM_KEYS_H_
#define MODFLASH_FLEET_SYSTEM_KEYS_H_

#include <memory>

namespace modflash::fleet {

/// The keys pressed on the console while a run lives, read without
/// blocking from the scheduler's loop. A test hands in one of its own.
class KeySource {
 public:
  virtual ~KeySource() = default;
  /// The next key pressed; 0 when none waits.
  virtual char Next() = 0;
  /// Waits at most `ms` milliseconds, less when a key is pressed (or, on
  /// POSIX, a signal arrives).
  virtual void Wait(int ms) = 0;
};

/// The keys of the terminal when standard input and output both are one
/// (on Windows: the console); null otherwise. On POSIX the terminal reads
/// keys one by one, without echo, while the object lives (and only while
/// this program is in the terminal's foreground); Ctrl-C and Ctrl-Z stay
/// signals. Its settings are restored when the object goes, or when the
/// program exits. On Windows the console's key events are read; its modes
/// are left as they are.
std::unique_ptr<KeySource> OpenConsoleKeys();

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_SYSTEM_KEYS_H_
