#ifndef MODFLASH_FLEET_RUN_HOLD_H_
#define MODFLASH_FLEET_RUN_HOLD_H_

#include <chrono>
#include <string>
#include <vector>

#include "fleet/console/display.h"
#include "fleet/report/run_info.h"

namespace modflash::fleet {

class RunObserver;

/// The keys on the fleet's terminal that pause a run and continue it (an
/// approval too), in either case; and the line that tells of them.
inline constexpr char kPauseKey = 'p';
inline constexpr char kContinueKey = 'c';
inline constexpr char kKeysLine[] =
    "Keys: p pauses the run (no new update starts; running ones finish), "
    "c continues it.";

/// What holds a run's starts, as the operator asked: the run folder's pause
/// file (`--pause`, or an approval after a wave) until `--continue` removes
/// it, or the approval time-out decides.
struct HoldSettings {
  std::string folder;
  /// After these waves (from 1) the run waits for a continue.
  std::vector<size_t> approveAfter;
  /// How long an approval is waited for; 0: without end.
  std::chrono::seconds approveTimeout{0};
  /// On the time-out: stop the run (true) or go on (false).
  bool stopWithoutApproval = true;
  /// Waves approved before (a resumed run whose later wave had started).
  size_t approvedUpTo = 0;
  /// Whether the keys on the terminal pause and continue (Hold::Key).
  bool keys = false;
  /// The pauses and continues of the run before it was resumed.
  std::vector<HoldEvent> earlier;
};

/// Whether starts may go on; says so on the console and in the journal as
/// the run is paused and continued.
class Hold {
 public:
  enum class Verdict { kGo, kWait, kStop };
  Hold(HoldSettings settings, Display& display, RunObserver* observer);
  /// Before wave `ended` + 1 starts: asks for approval when `ended` is one
  /// of the waves to approve (once a wave), with the wave's counts.
  void WaveEnded(size_t ended, const std::string& counts);
  Verdict Check();
  /// A key pressed on the terminal: kPauseKey pauses as --pause does (the
  /// pause file, by kByKey), kContinueKey continues as --continue does,
  /// an approval too. Other keys change nothing.
  void Key(char key);
  /// Every pause and continue, the earlier ones first.
  const std::vector<HoldEvent>& Events() const { return events_; }
  /// "paused (...)" while paused; otherwise "".
  const std::string& Paused() const { return paused_; }
  bool Unwritten() const { return unwritten_; }
  /// Why the run stopped when the approval did not come.
  const std::string& StopReason() const { return stopReason_; }

 private:
  void Note(const char* entry, const std::string& by);
  std::string HowToContinue(const char* what) const;
  const HoldSettings settings_;
  Display& display_;
  RunObserver* observer_;
  std::string paused_;
  std::string stopReason_;
  bool approving_ = false;
  std::chrono::steady_clock::time_point since_;
  std::chrono::steady_clock::time_point lastLook_;
  size_t approvedWave_ = 0;
  bool unwritten_ = false;
  std::string continuedBy_;  // the key removed the pause file
  std::vector<HoldEvent> events_;
};

/// "30s", "15m", "2h" as seconds; false when it is not such a duration.
bool ParseDuration(const std::string& text, std::chrono::seconds& out);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_RUN_HOLD_H_
