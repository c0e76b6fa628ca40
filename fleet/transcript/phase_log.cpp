#include "fleet/transcript/phase_log.h"

#include <iterator>
#include <string>

namespace modflash::fleet {
namespace {

// Long enough for every opener; progress lines are cut there.
constexpr size_t kLineKept = 64;

bool Opens(const char* opener, const std::string& line) {
  return opener != nullptr &&
         line.compare(0, std::char_traits<char>::length(opener), opener) == 0;
}

}  // namespace

PhaseLog::PhaseLog()
    : lines_(kLineKept), spans_{{output::kTimeline[0].name, 0, 0}} {}

void PhaseLog::Consume(const std::string& chunk, double seconds) {
  lines_.Feed(
      chunk, [](char) { return false; },
      [&](const std::string& line) { LineDone(line, seconds); });
}

void PhaseLog::LineDone(const std::string& line, double seconds) {
  // Phases only go forward: the restart after the update is no restart
  // wait of its own.
  for (size_t phase = next_; phase < std::size(output::kTimeline); ++phase) {
    const output::TimelinePhase& p = output::kTimeline[phase];
    if (!Opens(p.opener, line) && !Opens(p.alsoOpener, line)) continue;
    spans_.back().end = seconds;
    spans_.push_back({p.name, seconds, seconds});
    next_ = phase + 1;
    return;
  }
}

std::vector<PhaseSpan> PhaseLog::Finish(double endSeconds) const {
  std::vector<PhaseSpan> spans = spans_;
  spans.back().end = endSeconds;
  return spans;
}

}  // namespace modflash::fleet
