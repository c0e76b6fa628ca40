#ifndef MODFLASH_FLEET_RUN_WINDOW_GATE_H_
#define MODFLASH_FLEET_RUN_WINDOW_GATE_H_

#include <string>
#include <vector>

#include "fleet/console/display.h"
#include "fleet/plan/window.h"

namespace modflash::fleet {

class RunObserver;

/// The stop reason of a run that no window lets go on (--window-end stop).
inline constexpr char kWindowClosed[] = "maintenance window closed";

/// Whether an update may start now, by the maintenance windows; says so on
/// the console and in the journal as they close and open again.
class WindowGate {
 public:
  enum class Verdict { kOpen, kWait, kStop };
  WindowGate(const std::vector<MaintenanceWindow>& windows, bool stopAtEnd,
             Display& display, RunObserver* observer);
  Verdict Check();
  /// While waiting: "waiting for a maintenance window (the next opens at
  /// 22:00)"; otherwise "".
  const std::string& Waiting() const { return waiting_; }
  /// The journal could not be written (the observer names the file).
  bool Unwritten() const { return unwritten_; }

 private:
  const std::vector<MaintenanceWindow>& windows_;
  const bool stopAtEnd_;
  Display& display_;
  RunObserver* observer_;
  std::string waiting_;
  bool unwritten_ = false;
};

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_RUN_WINDOW_GATE_H_
