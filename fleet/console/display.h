#ifndef MODFLASH_FLEET_DISPLAY_H_
#define MODFLASH_FLEET_DISPLAY_H_

#include <chrono>
#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "fleet/console/display_fit.h"
#include "fleet/report/report.h"

namespace modflash::fleet {

/// The console side of a run. Live, on a terminal that takes cursor
/// movements: the failed and running updates that fit the screen and a
/// status line, redrawn in place. Otherwise: one plain line per event.
class Display {
 public:
  /// `jobs`: updates at once, for the estimate of the time left.
  Display(std::ostream& out, bool live, int jobs = 1);

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
  /// One plain line per event from now on: the terminal has gone.
  void Plain() { live_ = false; }
  /// The closing table, one row a reader, and the counts.
  void Summary(const std::vector<ReaderRecord>& records,
               const std::string& reportPath);

 private:
  using Clock = std::chrono::steady_clock;

  // Running totals of the finished updates' durations.
  struct Durations {
    double sum = 0;
    size_t count = 0;
  };

  void Remember(const ReaderRecord& record);
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
  Durations succeeded_;
  Durations others_;
};

/// "HH:MM:SS" of the local time now.
std::string ClockNow();

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_DISPLAY_H_
