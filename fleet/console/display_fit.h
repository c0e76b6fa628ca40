#ifndef MODFLASH_FLEET_DISPLAY_FIT_H_
#define MODFLASH_FLEET_DISPLAY_FIT_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "fleet/text/text.h"

namespace modflash::fleet {

/// One running update as the live display shows it.
struct LiveLine {
  std::string name;
  const char* phase = "";
  int percent = 0;
  double seconds = 0;  ///< how long it has been running
};

/// A failed update that the live display keeps in view.
struct FailedLine {
  std::string name;
  std::string reason;  ///< the transcript's last line, or why it did not run
};

/// Counts for the status line: readers = running + waiting + succeeded +
/// failed + notStarted.
struct Totals {
  size_t readers = 0;
  size_t running = 0;
  size_t waiting = 0;
  size_t succeeded = 0;
  size_t failed = 0;
  size_t notStarted = 0;
  size_t wave = 0;   ///< the wave running now, from 1
  size_t waves = 0;  ///< 0 when the run has no waves
  std::string note;  ///< why nothing new starts, if so
};

/// Everything one frame of the live display shows.
struct LiveView {
  std::vector<LiveLine> running;
  std::vector<FailedLine> failed;  ///< the latest failure first
  Totals totals;
  double elapsed = 0;          ///< seconds since the run began
  std::optional<double> left;  ///< estimated seconds until the last ends
};

/// The lines of one frame on a terminal of `rows` by `columns`: failed
/// readers first, then the running ones, furthest along first, a "+N more"
/// line for those that do not fit, and the status line last. At most
/// rows - 1 lines of at most columns - 1 characters, so that drawing them,
/// each followed by a line feed, neither scrolls the screen nor wraps.
std::vector<std::string> FitLive(const LiveView& view, int rows, int columns);

/// The seconds one run takes at the pace seen so far: the mean of the
/// `count` runs that ended (`sum` seconds), with each run still going that
/// has taken longer than that mean counted as one of its time so far (it
/// takes at least that). None before a run ended.
std::optional<double> TypicalSeconds(double sum, size_t count,
                                     const std::vector<double>& runningFor);

/// Seconds until the last reader is done when every update takes `typical`
/// seconds: the running ones have been running for `runningFor` seconds,
/// `waiting` have yet to start and at most `jobs` run at once.
double EstimateSecondsLeft(double typical,
                           const std::vector<double>& runningFor,
                           size_t waiting, int jobs);

/// "4:05" below an hour, "1:02:03" from there on.
std::string DurationText(double seconds);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_DISPLAY_FIT_H_
