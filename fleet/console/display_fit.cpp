#include "fleet/console/display_fit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <queue>

#include "fleet/console/table.h"

namespace modflash::fleet {
namespace {

constexpr size_t kPhaseWidth = 16;

std::string Count(size_t n, const char* what) {
  return std::to_string(n) + " " + what;
}

// The status line's fields in the order they read, each with its rank:
// when the line is too wide, the fields of the highest rank go first.
struct Field {
  std::string text;
  int rank;
};

std::vector<Field> StatusFields(const LiveView& view) {
  const Totals& t = view.totals;
  std::vector<Field> fields;
  fields.push_back({DurationText(view.elapsed) + " elapsed", 0});
  if (view.left) {
    fields.push_back({"about " + DurationText(*view.left) + " left", 1});
  }
  if (t.waves > 0) {
    fields.push_back(
        {"wave " + std::to_string(t.wave) + " of " + std::to_string(t.waves),
         2});
  }
  // Not started is not done: the two are counted apart.
  const size_t done = t.succeeded + t.failed;
  fields.push_back(
      {std::to_string(done) + "/" + std::to_string(t.readers) + " done", 0});
  fields.push_back({Count(t.failed, "failed"), 0});
  if (t.notStarted > 0) {
    fields.push_back({Count(t.notStarted, "not started"), 1});
  }
  fields.push_back({Count(t.running, "running"), 2});
  if (t.waiting > 0) fields.push_back({Count(t.waiting, "waiting"), 3});
  if (!t.note.empty()) fields.push_back({"stopped: " + t.note, 1});
  return fields;
}

std::string StatusLine(const LiveView& view, size_t width) {
  std::vector<Field> fields = StatusFields(view);
  for (;;) {
    std::string line;
    for (const Field& f : fields) line += (line.empty() ? "" : ", ") + f.text;
    if (TextWidth(line) <= width || fields.size() <= 1) return line;
    // Drop the last of the least important fields.
    auto least = std::max_element(
        fields.rbegin(), fields.rend(),
        [](const Field& a, const Field& b) { return a.rank < b.rank; });
    fields.erase(std::next(least).base());
  }
}

std::string RunningText(const LiveLine& line, size_t nameWidth) {
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%%", line.percent);
  return "  " + Pad(CutToWidth(line.name, kNameWidth), nameWidth) + "  " +
         Pad(line.phase, kPhaseWidth) + percent;
}

std::string FailedText(const FailedLine& line, size_t nameWidth) {
  return "  " + Pad(CutToWidth(line.name, kNameWidth), nameWidth) +
         "  failed: " + line.reason;
}

std::string MoreText(size_t failed, size_t running) {
  const std::string more = "  +" + std::to_string(failed + running) + " more";
  if (failed == 0) return more + " running";
  if (running == 0) return more + " failed";
  return more + ": " + Count(failed, "failed") + ", " +
         Count(running, "running");
}

}  // namespace

std::string DurationText(double seconds) {
  const long long total = std::llround(std::max(0.0, seconds));
  char text[32];
  if (total < 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600,
                  total / 60 % 60, total % 60);
  }
  return text;
}

std::optional<double> TypicalSeconds(double sum, size_t count,
                                     const std::vector<double>& runningFor) {
  if (count == 0) return std::nullopt;
  const double mean = sum / static_cast<double>(count);
  for (const double seconds : runningFor) {
    if (seconds <= mean) continue;
    sum += seconds;
    ++count;
  }
  return sum / static_cast<double>(count);
}

double EstimateSecondsLeft(double typical,
                           const std::vector<double>& runningFor,
                           size_t waiting, int jobs) {
  // Each slot holds the time at which it is next free; every waiting
  // update takes the slot that frees first.
  std::priority_queue<double, std::vector<double>, std::greater<double>> slots;
  for (const double seconds : runningFor) {
    slots.push(std::max(0.0, typical - seconds));
  }
  while (slots.size() < static_cast<size_t>(std::max(jobs, 1))) slots.push(0);
  for (size_t i = 0; i < waiting; ++i) {
    const double start = slots.top();
    slots.pop();
    slots.push(start + typical);
  }
  double last = 0;
  while (!slots.empty()) {
    last = slots.top();  // the latest comes out last
    slots.pop();
  }
  return last;
}

std::vector<std::string> FitLive(const LiveView& view, int rows, int columns) {
  std::vector<std::string> lines;
  if (rows < 2 || columns < 2) return lines;
  const auto width = static_cast<size_t>(columns - 1);
  // Rows for readers and "+N more"; one is the status line's and the last
  // one the cursor's.
  const auto room = static_cast<size_t>(rows - 2);
  std::vector<const LiveLine*> running;
  for (const LiveLine& line : view.running) running.push_back(&line);
  std::stable_sort(running.begin(), running.end(),
                   [](const LiveLine* a, const LiveLine* b) {
                     return a->percent > b->percent;
                   });
  size_t shownFailed = view.failed.size();
  size_t shownRunning = running.size();
  if (shownFailed + shownRunning > room) {
    const size_t slots = room > 0 ? room - 1 : 0;  // one for "+N more"
    // Failures come first, but take no more than half of the rows that
    // running updates would fill.
    shownFailed = std::min(
        shownFailed,
        std::max((slots + 1) / 2, slots - std::min(shownRunning, slots)));
    shownRunning = std::min(shownRunning, slots - shownFailed);
  }
  size_t nameWidth = 8;
  for (size_t i = 0; i < shownFailed; ++i) {
    nameWidth = std::max(nameWidth, TextWidth(view.failed[i].name));
  }
  for (size_t i = 0; i < shownRunning; ++i) {
    nameWidth = std::max(nameWidth, TextWidth(running[i]->name));
  }
  nameWidth = std::min(nameWidth, kNameWidth);
  for (size_t i = 0; i < shownFailed; ++i) {
    lines.push_back(FailedText(view.failed[i], nameWidth));
  }
  for (size_t i = 0; i < shownRunning; ++i) {
    lines.push_back(RunningText(*running[i], nameWidth));
  }
  const size_t hiddenFailed = view.failed.size() - shownFailed;
  const size_t hiddenRunning = running.size() - shownRunning;
  if (room > 0 && hiddenFailed + hiddenRunning > 0) {
    lines.push_back(MoreText(hiddenFailed, hiddenRunning));
  }
  lines.push_back(StatusLine(view, width));
  for (std::string& line : lines) line = CutToWidth(line, width);
  return lines;
}

}  // namespace modflash::fleet
