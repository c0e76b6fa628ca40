#ifndef MODFLASH_FLEET_PLAN_WINDOW_H_
#define MODFLASH_FLEET_PLAN_WINDOW_H_

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace modflash::fleet {

/// One maintenance window, in the machine's local time: the days it opens
/// on and the minutes of the day it spans. A window whose end is at or
/// before its start runs past midnight into the next day; it belongs to
/// the day it opens on.
struct MaintenanceWindow {
  uint8_t days = 0x7f;  ///< bit d: opens on weekday d (0 Sunday, as std::tm)
  int start = 0;        ///< minutes after midnight, 0 to 1439
  int end = 0;          ///< minutes after midnight, 1 to 1440
  std::string text;     ///< as given, for messages and run.json
};

/// "22:00-05:30", "Sat,Sun 00:00-24:00", "Mon-Fri 22:00-05:30". False with
/// `error` set when the text is not such a window.
bool ParseWindow(const std::string& text, MaintenanceWindow& window,
                 std::string& error);

/// A local weekday (0 Sunday) and minute of the day.
struct LocalMinute {
  int weekday = 0;
  int minute = 0;
};

/// Whether any of `windows` is open at `at`.
bool WindowOpenAt(const std::vector<MaintenanceWindow>& windows,
                  LocalMinute at);

/// How a time becomes a local weekday and minute; the machine's local
/// time unless a test gives another.
using LocalClock = LocalMinute (*)(std::time_t);
LocalMinute MachineLocalMinute(std::time_t t);

/// The first moment at or after `now`, to the minute, at which any window
/// is open (`open` true) or every window is closed (`open` false); none
/// within 8 days. Walked minute by minute through `clock`, so a change of
/// daylight saving time is met as the wall clock meets it: an hour skipped
/// forward never opens a window, an hour repeated may keep one open twice.
std::optional<std::time_t> NextWindowChange(
    const std::vector<MaintenanceWindow>& windows, std::time_t now, bool open,
    LocalClock clock = MachineLocalMinute);

/// "HH:MM" of `t` in the machine's local time, with the weekday ("Sat
/// 22:00") when it is not today.
std::string LocalWhen(std::time_t t, std::time_t now);

/// "YYYY-MM-DDTHH:MM:SS" of `t` in the machine's local time.
std::string LocalIsoTime(std::time_t t);

/// The clock the windows are checked against: the machine's, shifted by
/// MODFLASH_FLEET_CLOCK_SHIFT seconds when set (for rehearsals and tests
/// of a window's closing, without waiting for the night).
std::time_t WindowClockNow();

/// "open until 05:30" or "closed, the next opens at Sat 22:00", of
/// `windows` at `now`.
std::string WindowState(const std::vector<MaintenanceWindow>& windows,
                        std::time_t now);

/// The windows as given, joined with ", ".
std::string WindowList(const std::vector<MaintenanceWindow>& windows);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_PLAN_WINDOW_H_
