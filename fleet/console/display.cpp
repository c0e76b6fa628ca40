#include "fleet/console/display.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "fleet/console/lines.h"
#include "fleet/console/table.h"
#include "fleet/system/terminal.h"
#include "fleet/text/text.h"

namespace modflash::fleet {
namespace {

// The failure line, and the first error where it tells another story.
std::string Detail(const ReaderRecord& r) {
  if (r.outcome == Outcome::kNewerThanImage) return Shown(r.nextStep);
  std::string detail = Shown(r.failureLine);
  if (!r.firstError.empty() && r.firstError != r.failureLine) {
    detail += " (first error: " + Shown(r.firstError) + ")";
  }
  return detail;
}

// Screen rows that lines of these widths take on `columns`. A terminal
// that got narrower rewraps its lines (most do), so a line may take more
// than one.
size_t RowsTaken(const std::vector<size_t>& widths, int columns) {
  const auto width = static_cast<size_t>(std::max(columns, 1));
  size_t rows = 0;
  for (const size_t used : widths) {
    rows += std::max<size_t>(1, (used + width - 1) / width);
  }
  return rows;
}

// The terminal's size, or the classic 24 by 80 when it tells none.
void ScreenSize(int& rows, int& columns) {
  if (!TerminalSize(rows, columns) || rows < 1 || columns < 1) {
    rows = 24;
    columns = 80;
  }
}

std::time_t SystemTime() { return std::time(nullptr); }

// "N readers: a, b, c" as its fields.
std::vector<std::string> SplitCounts(const std::string& text) {
  std::vector<std::string> fields;
  size_t from = 0;
  for (size_t comma; (comma = text.find(", ", from)) != std::string::npos;
       from = comma + 2) {
    fields.push_back(text.substr(from, comma - from));
  }
  fields.push_back(text.substr(from));
  return fields;
}

}  // namespace

bool SetsThePace(const ReaderRecord& record) {
  switch (record.outcome) {
    case Outcome::kNotStarted:
    case Outcome::kAlreadyCurrent:
    case Outcome::kNewerThanImage:
      return false;
    default:
      return record.seconds.value_or(0.0) > 0;
  }
}

Display::Display(std::ostream& out, bool live, int jobs, size_t width,
                 WallClock clock)
    : out_(out),
      live_(live),
      jobs_(jobs),
      start_(Clock::now()),
      width_(width),
      clock_(clock != nullptr ? clock : SystemTime) {}

size_t Display::Width() const {
  if (!live_) return width_;
  int rows = 0;
  int columns = 0;
  ScreenSize(rows, columns);
  return static_cast<size_t>(std::max(columns - 1, 1));
}

// "HH:MM:SS" of the local time now, after a line with the date when it is
// the first or the day changed.
std::string Display::Stamp() {
  const std::tm local = LocalTime(clock_());
  char day[16];
  char hms[16];
  std::strftime(day, sizeof day, "%Y-%m-%d", &local);
  std::strftime(hms, sizeof hms, "%H:%M:%S", &local);
  if (day_ != day) {
    day_ = day;
    out_ << "Date: " << day_ << "\n";
  }
  return hms;
}

void Display::Started(const ReaderRecord& record) {
  if (live_) return;
  out_ << Stamp() << " started  " << Shown(record.reader.name) << " ("
       << ShownWhere(record.reader) << ")\n"
       << std::flush;
}

void Display::Finished(const ReaderRecord& record) {
  Remember(record);
  if (live_) return;
  std::string line = Stamp() + " finished " + Shown(record.reader.name) +
                     ": " + OutcomeName(record.outcome);
  if (record.exitStatus) {
    line += " (exit status " + std::to_string(*record.exitStatus) + ")";
  }
  if (!record.failureLine.empty()) line += ": " + Shown(record.failureLine);
  // On a terminal the failure line wraps between words; a log gets it whole.
  out_ << Joined(WrapWords(line, Width(), "  ")) << std::flush;
}

void Display::Remember(const ReaderRecord& record) {
  if (SetsThePace(record)) {
    paceSum_ += *record.seconds;
    ++paceCount_;
  }
  if (record.outcome != Outcome::kFailed) return;
  std::string reason = Shown(record.failureLine);
  if (reason.empty() && record.exitStatus) {
    reason = "exit status " + std::to_string(*record.exitStatus);
  }
  failed_.push_back(
      {Shown(record.reader.name), reason.empty() ? "ended" : reason});
}

// At the pace of the runs that really ran, none before the first ended.
std::optional<double> Display::SecondsLeft(const std::vector<LiveLine>& lines,
                                           const Totals& totals) const {
  std::vector<double> runningFor;
  for (const LiveLine& line : lines) runningFor.push_back(line.seconds);
  const std::optional<double> typical =
      TypicalSeconds(paceSum_, paceCount_, runningFor);
  if (!typical) return std::nullopt;
  return EstimateSecondsLeft(*typical, runningFor, totals.waiting, jobs_);
}

void Display::Note(const std::string& text) {
  Erase();
  const size_t width = Width();
  const std::vector<std::string> lines = WrapWords(text, width);
  noteWidths_.clear();
  for (const std::string& line : lines) noteWidths_.push_back(TextWidth(line));
  out_ << Joined(lines) << std::flush;
}

void Display::Erase() {
  if (!live_ || drawn_.empty()) return;
  ScreenSize(rows_, columns_);
  // Up to the first live line and clear it, then the lines below it. Not
  // one clear from there down: were that the top of the screen, tmux would
  // keep the cleared screen in its scrollback.
  out_ << "\x1b[" << RowsTaken(drawn_, columns_)
       << "F\x1b[2K\x1b[E\x1b[J\x1b[F";
  drawn_.clear();
}

void Display::Live(const std::vector<LiveLine>& lines, const Totals& totals,
                   bool force) {
  if (!live_) return;
  int rows = 0;
  int columns = 0;
  ScreenSize(rows, columns);
  const bool resized = rows != rows_ || columns != columns_;
  rows_ = rows;
  columns_ = columns;
  const auto now = Clock::now();
  if (!force && !resized && !drawn_.empty() &&
      now - lastDraw_ < std::chrono::milliseconds(250)) {
    return;
  }
  lastDraw_ = now;
  LiveView view;
  view.running = lines;
  view.failed.assign(failed_.rbegin(), failed_.rend());
  view.totals = totals;
  view.elapsed = std::chrono::duration<double>(now - start_).count();
  view.left = SecondsLeft(lines, totals);
  // The latest note stays in view above the live lines.
  const size_t noteRows =
      std::min(RowsTaken(noteWidths_, columns), static_cast<size_t>(rows / 2));
  Draw(FitLive(view, rows - static_cast<int>(noteRows), columns), columns);
}

// Over the live lines on screen, from their first line down.
void Display::Draw(const std::vector<std::string>& frame, int columns) {
  if (frame.empty()) {  // no room at all
    Erase();
    return;
  }
  std::string text;
  if (!drawn_.empty()) {
    text = "\x1b[" + std::to_string(RowsTaken(drawn_, columns)) + "F";
  }
  drawn_.clear();
  for (const std::string& line : frame) {
    text += line + "\x1b[K\n";
    drawn_.push_back(TextWidth(line));
  }
  // Whatever is left below: the rest of a taller or rewrapped frame.
  text += "\x1b[J";
  out_ << text << std::flush;
}

void Display::EndLive() {
  Erase();
  out_ << std::flush;
}

std::string RunCounts(const std::vector<ReaderRecord>& records, RunKind kind) {
  size_t counts[kOutcomeCount] = {};
  for (const ReaderRecord& r : records) ++counts[static_cast<int>(r.outcome)];
  const auto count = [&](Outcome outcome, const char* what) {
    return std::to_string(counts[static_cast<int>(outcome)]) + " " + what;
  };
  std::string text = std::to_string(records.size()) + " readers: ";
  if (kind == RunKind::kDryRun) {
    text += count(Outcome::kDryRunOk, "dry-run-ok") + ", ";
  } else {
    text +=
        count(Outcome::kUpdated, "updated") + ", " +
        count(Outcome::kAlreadyCurrent, "already current") + ", " +
        count(Outcome::kNewerThanImage, "newer than the image (not updated)") +
        ", ";
  }
  text += count(Outcome::kFailed, "failed") + ", ";
  if (counts[static_cast<int>(Outcome::kUnknown)] > 0) {
    text += count(Outcome::kUnknown, "unknown") + ", ";
  }
  return text + count(Outcome::kNotStarted, "not started");
}

void Display::Summary(const std::vector<ReaderRecord>& records, RunKind kind) {
  ConsoleTable table({{"name", 0, true, kNameWidth},
                      {"address", 0, true, 0},
                      {"outcome", 15, false, 0},
                      {"exit", 4, false, 0, 1},
                      {"seconds", 7, false, 0, 2},
                      {"detail", 0, false, 0}});
  for (const ReaderRecord& r : records) {
    char seconds[16] = "";
    if (r.seconds) std::snprintf(seconds, sizeof seconds, "%.1f", *r.seconds);
    table.Add({Shown(r.reader.name), ShownWhere(r.reader),
               OutcomeName(r.outcome),
               r.exitStatus ? std::to_string(*r.exitStatus) : "", seconds,
               Detail(r)});
  }
  const size_t width = Width();
  out_ << "\n";
  table.Print(out_, width);
  out_ << "\n"
       << Joined(FitFields(SplitCounts(RunCounts(records, kind)), ", ", width))
       << std::flush;
}

}  // namespace modflash::fleet
