#include "fleet/phase_log.h"

namespace modflash::fleet {
namespace {

// The lines that open each phase after the first (same order as
// kPhaseNames). The restart wait opens with the restart before the version
// read; the earlier front end has none there and waits only after its
// update request.
struct Opener {
  size_t phase;
  const char* head;
};
constexpr Opener kOpeners[] = {
    {1, "Current baud rate: "},
    {2, "Resetting Module"},
    {2, "Waiting for module to reset & initialize"},
    {3, "Sending Update_EnterUpdateMode packet."},
    {4, "Module Firmware successfully written."},
    {4, "Dry run (testMode = true) succeeded."},
    {5, "Post-update firmware version: "},
};

// Long enough for every opener; progress lines are cut there.
constexpr size_t kLineKept = 64;

}  // namespace

PhaseLog::PhaseLog() : spans_{{kPhaseNames[0], 0, 0}} {}

void PhaseLog::Consume(const std::string& chunk, double seconds) {
  for (const char c : chunk) {
    if (c == '\n') {
      LineDone(seconds);
      line_.clear();
    } else if (line_.size() < kLineKept) {
      line_.push_back(c);
    }
  }
}

void PhaseLog::LineDone(double seconds) {
  if (!line_.empty() && line_.back() == '\r') line_.pop_back();
  for (const Opener& o : kOpeners) {
    // Phases only go forward: the restart after the update is no restart
    // wait of its own.
    if (o.phase < next_ ||
        line_.compare(0, std::string(o.head).size(), o.head) != 0) {
      continue;
    }
    spans_.back().end = seconds;
    spans_.push_back({kPhaseNames[o.phase], seconds, seconds});
    next_ = o.phase + 1;
    return;
  }
}

std::vector<PhaseSpan> PhaseLog::Finish(double endSeconds) const {
  std::vector<PhaseSpan> spans = spans_;
  spans.back().end = endSeconds;
  return spans;
}

}  // namespace modflash::fleet
