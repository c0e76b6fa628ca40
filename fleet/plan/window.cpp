#include "fleet/plan/window.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "fleet/system/terminal.h"

namespace modflash::fleet {

namespace {

constexpr std::array<const char*, 7> kDayNames = {"Sun", "Mon", "Tue", "Wed",
                                                  "Thu", "Fri", "Sat"};
constexpr int kDay = 24 * 60;

/// "Mon" (any case) as a weekday, or -1.
int DayNumber(const std::string& name) {
  if (name.size() != 3) return -1;
  const auto lower = [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  };
  for (size_t d = 0; d < kDayNames.size(); ++d) {
    if (lower(name[0]) == lower(kDayNames[d][0]) &&
        lower(name[1]) == kDayNames[d][1] &&
        lower(name[2]) == kDayNames[d][2]) {
      return static_cast<int>(d);
    }
  }
  return -1;
}

/// "Sat,Sun", "Mon-Fri" or "Fri-Mon" (a range may wrap past Sunday).
bool ParseDays(const std::string& text, uint8_t& days, std::string& error) {
  days = 0;
  size_t from = 0;
  while (from <= text.size()) {
    size_t comma = text.find(',', from);
    if (comma == std::string::npos) comma = text.size();
    const std::string item = text.substr(from, comma - from);
    const size_t dash = item.find('-');
    const int first = DayNumber(item.substr(0, dash));
    const int last =
        dash == std::string::npos ? first : DayNumber(item.substr(dash + 1));
    if (first < 0 || last < 0) {
      error =
          "\"" + item + "\" is not a day (Mon, Tue, Wed, Thu, Fri, Sat, Sun)";
      return false;
    }
    for (int d = first;; d = (d + 1) % 7) {
      days = static_cast<uint8_t>(days | (1u << d));
      if (d == last) break;
    }
    from = comma + 1;
  }
  return true;
}

/// "HH:MM" as minutes after midnight; 24:00 only where `end`.
bool ParseClock(const std::string& text, bool end, int& minutes) {
  if (text.size() != 5 || text[2] != ':') return false;
  for (size_t i : {0u, 1u, 3u, 4u}) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  const int hours = (text[0] - '0') * 10 + (text[1] - '0');
  const int mins = (text[3] - '0') * 10 + (text[4] - '0');
  if (mins > 59 || hours > 24 || (hours == 24 && (mins != 0 || !end))) {
    return false;
  }
  minutes = hours * 60 + mins;
  return true;
}

}  // namespace

bool ParseWindow(const std::string& text, MaintenanceWindow& window,
                 std::string& error) {
  window = MaintenanceWindow{};
  window.text = text;
  if (text.size() > 100) {
    error = "a window is at most 100 characters";
    return false;
  }
  const size_t space = text.rfind(' ');
  const std::string times =
      space == std::string::npos ? text : text.substr(space + 1);
  if (space != std::string::npos) {
    const size_t begin = text.find_first_not_of(' ');
    const size_t stop = text.find_last_not_of(' ', space);
    if (begin == space || stop == std::string::npos ||
        !ParseDays(text.substr(begin, stop - begin + 1), window.days, error)) {
      if (error.empty()) error = "no days before the times";
      return false;
    }
  }
  const size_t dash = times.find('-');
  if (dash == std::string::npos ||
      !ParseClock(times.substr(0, dash), false, window.start) ||
      !ParseClock(times.substr(dash + 1), true, window.end)) {
    error = "\"" + times + "\" is not a time range such as 22:00-05:30";
    return false;
  }
  if (window.end == 0) window.end = kDay;  // until midnight
  if (window.end == window.start) {
    error = "the window opens and closes at the same time";
    return false;
  }
  return true;
}

bool WindowOpenAt(const std::vector<MaintenanceWindow>& windows,
                  LocalMinute at) {
  const auto opensOn = [](const MaintenanceWindow& w, int day) {
    return (w.days & (1u << ((day % 7 + 7) % 7))) != 0;
  };
  for (const MaintenanceWindow& w : windows) {
    const bool open =
        w.start < w.end ? opensOn(w, at.weekday) && at.minute >= w.start &&
                              at.minute < w.end
                        : (opensOn(w, at.weekday) && at.minute >= w.start) ||
                              (opensOn(w, at.weekday - 1) && at.minute < w.end);
    if (open) return true;
  }
  return false;
}

LocalMinute MachineLocalMinute(std::time_t t) {
  const std::tm local = LocalTime(t);
  return {local.tm_wday, local.tm_hour * 60 + local.tm_min};
}

std::optional<std::time_t> NextWindowChange(
    const std::vector<MaintenanceWindow>& windows, std::time_t now, bool open,
    LocalClock clock) {
  if (WindowOpenAt(windows, clock(now)) == open) return now;
  std::time_t t = now - ((now % 60) + 60) % 60;
  for (int step = 0; step <= 8 * kDay; ++step) {
    t += 60;
    if (WindowOpenAt(windows, clock(t)) == open) return t;
  }
  return std::nullopt;
}

std::string LocalWhen(std::time_t t, std::time_t now) {
  const std::tm when = LocalTime(t);
  const std::tm today = LocalTime(now);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d", when.tm_hour % 100,
                when.tm_min % 100);
  if (when.tm_yday == today.tm_yday && when.tm_year == today.tm_year) {
    return text;
  }
  return std::string(kDayNames[static_cast<size_t>(when.tm_wday % 7)]) + " " +
         text;
}

std::string LocalIsoTime(std::time_t t) {
  const std::tm local = LocalTime(t);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d",
                (local.tm_year + 1900) % 10000, (local.tm_mon + 1) % 100,
                local.tm_mday % 100, local.tm_hour % 100, local.tm_min % 100,
                local.tm_sec % 100);
  return text;
}

std::time_t WindowClockNow() {
  std::time_t now = std::time(nullptr);
  const char* shift = std::getenv("MODFLASH_FLEET_CLOCK_SHIFT");
  if (shift != nullptr && *shift != '\0') {
    char* end = nullptr;
    const long long seconds = std::strtoll(shift, &end, 10);
    // At most a year either way; anything else is ignored.
    if (*end == '\0' && seconds > -366LL * 86400 && seconds < 366LL * 86400) {
      now += static_cast<std::time_t>(seconds);
    }
  }
  return now;
}

std::string WindowState(const std::vector<MaintenanceWindow>& windows,
                        std::time_t now) {
  if (WindowOpenAt(windows, MachineLocalMinute(now))) {
    const auto closes = NextWindowChange(windows, now, false);
    return closes ? "open until " + LocalWhen(*closes, now) : "open";
  }
  const auto opens = NextWindowChange(windows, now, true);
  return opens ? "closed, the next opens at " + LocalWhen(*opens, now)
               : "closed";
}

std::string WindowList(const std::vector<MaintenanceWindow>& windows) {
  std::string list;
  for (const MaintenanceWindow& w : windows) {
    list += (list.empty() ? "" : ", ") + w.text;
  }
  return list;
}

}  // namespace modflash::fleet
