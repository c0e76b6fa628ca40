#ifndef MODFLASH_FLEET_DISPLAY_H_
#define MODFLASH_FLEET_DISPLAY_H_

#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "fleet/report.h"

namespace modflash::fleet {

/// One running update as the live display shows it.
struct LiveLine {
  std::string name;
  const char* phase = "";
  int percent = 0;
};

/// Counts for the totals line.
struct Totals {
  size_t readers = 0;
  size_t running = 0;
  size_t waiting = 0;
  size_t succeeded = 0;
  size_t failed = 0;
  size_t notStarted = 0;
  std::string note;  ///< why nothing new starts, if so
  int wave = 0;      ///< the wave running, from 1; 0 before the first
  int waves = 0;     ///< waves planned; 1 when the run has no waves
};

/// The console side of a run. On a terminal: one line per running update
/// and a totals line, redrawn in place. Otherwise: one plain line per event.
class Display {
 public:
  Display(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}

  void Started(const ReaderRecord& record);
  void Finished(const ReaderRecord& record);
  /// A message that stays on screen.
  void Note(const std::string& text);
  /// Redraws the live lines (terminal only), at most four times a second
  /// unless `force`.
  void Live(const std::vector<LiveLine>& lines, const Totals& totals,
            bool force);
  /// Removes the live lines before the summary.
  void EndLive();
  /// The closing table, one row a reader, and the counts.
  void Summary(const std::vector<ReaderRecord>& records,
               const std::string& reportPath);

 private:
  void Erase();

  std::ostream& out_;
  bool terminal_;
  size_t drawn_ = 0;  // live lines on screen
  std::chrono::steady_clock::time_point lastDraw_;
};

/// "HH:MM:SS" of the local time now.
std::string ClockNow();

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_DISPLAY_H_
