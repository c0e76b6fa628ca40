#ifndef MODFLASH_FLEET_DISPLAY_H_
#define MODFLASH_FLEET_DISPLAY_H_

#include <chrono>
#include <cstddef>
#include <ctime>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "fleet/console/display_fit.h"
#include "fleet/report/report.h"

namespace modflash::fleet {

/// Whether a finished reader tells how long a run takes: its update (or an
/// audit's read) really ran. Not one left alone after its version read,
/// nor one that never started.
bool SetsThePace(const ReaderRecord& record);

/// The console side of a run. Live, on a terminal that takes cursor
/// movements: the failed and running updates that fit the screen and a
/// status line, redrawn in place. Otherwise: one plain line per event,
/// after a "Date: YYYY-MM-DD" line at the first and on each change of day.
class Display {
 public:
  /// The wall clock, for the times of the plain lines.
  using WallClock = std::time_t (*)();

  /// `jobs`: updates at once, for the estimate of the time left. `width`:
  /// the plain lines' width (0: no limit; the live display takes the
  /// terminal's). `clock`: std::time unless given.
  Display(std::ostream& out, bool live, int jobs = 1, size_t width = 0,
          WallClock clock = nullptr);

  void Started(const ReaderRecord& record);
  void Finished(const ReaderRecord& record);
  /// A message that stays on screen.
  void Note(const std::string& text);
  /// Redraws the live lines (live only), at most four times a second
  /// unless `force` or the terminal changed size.
  void Live(const std::vector<LiveLine>& lines, const Totals& totals,
            bool force);
  /// Removes the live lines before the summary.
  void EndLive();
  /// One plain line per event from now on: the terminal has gone (the
  /// lines go elsewhere, which gets the date again).
  void Plain() {
    live_ = false;
    day_.clear();
  }
  /// The closing table of a program or dry run, one row a reader, and the
  /// counts of the run's kind.
  void Summary(const std::vector<ReaderRecord>& records, RunKind kind);
  /// The width the lines are fitted to now (live: one column less than
  /// the terminal has); 0: no limit.
  size_t Width() const;

 private:
  using Clock = std::chrono::steady_clock;

  void Remember(const ReaderRecord& record);
  std::string Stamp();
  std::optional<double> SecondsLeft(const std::vector<LiveLine>& lines,
                                    const Totals& totals) const;
  void Draw(const std::vector<std::string>& frame, int columns);
  void Erase();

  std::ostream& out_;
  bool live_;
  int jobs_;
  Clock::time_point start_;
  Clock::time_point lastDraw_;
  int rows_ = 0;
  int columns_ = 0;
  std::vector<size_t> drawn_;       // widths of the live lines on screen
  std::vector<size_t> noteWidths_;  // of the lines of the latest note
  std::vector<FailedLine> failed_;  // in the order they failed
  double paceSum_ = 0;              // seconds of the runs that set the pace
  size_t paceCount_ = 0;
  size_t width_;
  WallClock clock_;
  std::string day_;  // the date of the latest plain line
};

/// "N readers: 3 updated, 0 already current, ..." of a program or dry run:
/// every count of the kind, zero or not, and "unknown" where there is one.
std::string RunCounts(const std::vector<ReaderRecord>& records, RunKind kind);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_DISPLAY_H_
