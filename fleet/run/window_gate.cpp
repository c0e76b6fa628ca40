#include "fleet/run/window_gate.h"

#include "fleet/run/fleet_run.h"

namespace modflash::fleet {

WindowGate::WindowGate(const std::vector<MaintenanceWindow>& windows,
                       bool stopAtEnd, Display& display, RunObserver* observer)
    : windows_(windows),
      stopAtEnd_(stopAtEnd),
      display_(display),
      observer_(observer) {}

WindowGate::Verdict WindowGate::Check() {
  if (windows_.empty()) return Verdict::kOpen;
  const std::time_t now = WindowClockNow();
  if (WindowOpenAt(windows_, MachineLocalMinute(now))) {
    if (!waiting_.empty()) {
      waiting_.clear();
      display_.Note("A maintenance window is " + WindowState(windows_, now) +
                    ": updates start again.");
      if (observer_ != nullptr && !observer_->Waiting("")) unwritten_ = true;
    }
    return Verdict::kOpen;
  }
  if (stopAtEnd_) return Verdict::kStop;
  if (waiting_.empty()) {
    const auto opens = NextWindowChange(windows_, now, true);
    waiting_ =
        "waiting for a maintenance window (" + WindowState(windows_, now) + ")";
    display_.Note(
        "No maintenance window is open: no update starts until the "
        "next one opens" +
        (opens ? " at " + LocalWhen(*opens, now) : "") +
        "; running ones finish.");
    if (observer_ != nullptr &&
        !observer_->Waiting(opens ? LocalIsoTime(*opens) : "")) {
      unwritten_ = true;
    }
  }
  return Verdict::kWait;
}

}  // namespace modflash::fleet
