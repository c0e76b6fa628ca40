#include "fleet/display.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "fleet/console.h"
#include "fleet/text.h"

namespace modflash::fleet {
namespace {

// The failure line, and the first error where it tells another story.
std::string Detail(const ReaderRecord& r) {
  std::string detail = Shown(r.failureLine);
  if (!r.firstError.empty() && r.firstError != r.failureLine) {
    detail += " (first error: " + Shown(r.firstError) + ")";
  }
  return detail;
}

}  // namespace

std::string ClockNow() {
  const std::tm local = LocalTime(std::time(nullptr));
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

void Display::Started(const ReaderRecord& record) {
  if (terminal_) return;
  out_ << ClockNow() << " started  " << Shown(record.reader.name) << " ("
       << ShownWhere(record.reader) << ")\n"
       << std::flush;
}

void Display::Finished(const ReaderRecord& record) {
  if (terminal_) return;
  out_ << ClockNow() << " finished " << Shown(record.reader.name) << ": "
       << OutcomeName(record.outcome);
  if (record.exitStatus) out_ << " (exit status " << *record.exitStatus << ")";
  if (!record.failureLine.empty()) out_ << ": " << Shown(record.failureLine);
  out_ << "\n" << std::flush;
}

void Display::Note(const std::string& text) {
  Erase();
  out_ << text << "\n" << std::flush;
}

void Display::Erase() {
  if (!terminal_ || drawn_ == 0) return;
  // Up to the first live line, then clear to the end of the screen.
  out_ << "\x1b[" << drawn_ << "F\x1b[J";
  drawn_ = 0;
}

void Display::Live(const std::vector<LiveLine>& lines, const Totals& totals,
                   bool force) {
  if (!terminal_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && drawn_ > 0 &&
      now - lastDraw_ < std::chrono::milliseconds(250)) {
    return;
  }
  lastDraw_ = now;
  std::string frame;
  size_t width = 8;
  for (const LiveLine& line : lines) width = std::max(width, line.name.size());
  width = std::min<size_t>(width, 40);
  for (const LiveLine& line : lines) {
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", line.percent);
    frame += "  " + Pad(line.name.substr(0, 40), width) + "  " +
             Pad(line.phase, 16) + percent + "\x1b[K\n";
  }
  const size_t done = totals.succeeded + totals.failed + totals.notStarted;
  frame += std::to_string(done) + "/" + std::to_string(totals.readers) +
           " done: " + std::to_string(totals.succeeded) + " succeeded, " +
           std::to_string(totals.failed) + " failed, " +
           std::to_string(totals.notStarted) + " not started; " +
           std::to_string(totals.running) + " running, " +
           std::to_string(totals.waiting) + " waiting";
  if (!totals.note.empty()) frame += " - " + totals.note;
  frame += "\x1b[K\n";
  if (drawn_ > 0) out_ << "\x1b[" << drawn_ << "F";
  out_ << frame;
  const size_t drawnNow = lines.size() + 1;
  if (drawnNow < drawn_) out_ << "\x1b[J";  // fewer lines than last time
  drawn_ = drawnNow;
  out_ << std::flush;
}

void Display::EndLive() {
  Erase();
  out_ << std::flush;
}

void Display::Summary(const std::vector<ReaderRecord>& records,
                      const std::string& reportPath) {
  size_t nameWidth = 4;
  size_t whereWidth = 7;
  for (const ReaderRecord& r : records) {
    nameWidth =
        std::max(nameWidth, std::min<size_t>(Shown(r.reader.name).size(), 40));
    whereWidth = std::max(whereWidth, ShownWhere(r.reader).size());
  }
  out_ << "\n"
       << Pad("name", nameWidth) << "  " << Pad("address", whereWidth) << "  "
       << Pad("outcome", 15) << "  " << Pad("exit", 4) << "  "
       << Pad("seconds", 7) << "  detail\n";
  size_t counts[8] = {};
  for (const ReaderRecord& r : records) {
    ++counts[static_cast<int>(r.outcome)];
    char seconds[16] = "";
    if (r.seconds) std::snprintf(seconds, sizeof seconds, "%.1f", *r.seconds);
    out_ << Pad(Shown(r.reader.name).substr(0, 40), nameWidth) << "  "
         << Pad(ShownWhere(r.reader), whereWidth) << "  "
         << Pad(OutcomeName(r.outcome), 15) << "  "
         << Pad(r.exitStatus ? std::to_string(*r.exitStatus) : "", 4) << "  "
         << Pad(seconds, 7) << "  " << Detail(r) << "\n";
  }
  out_ << "\n"
       << records.size()
       << " readers: " << counts[static_cast<int>(Outcome::kUpdated)]
       << " updated, ";
  if (const size_t current =
          counts[static_cast<int>(Outcome::kAlreadyCurrent)]) {
    out_ << current << " already current, ";
  }
  out_ << counts[static_cast<int>(Outcome::kDryRunOk)] << " dry-run-ok, "
       << counts[static_cast<int>(Outcome::kFailed)] << " failed, "
       << counts[static_cast<int>(Outcome::kNotStarted)] << " not started\n"
       << "Report: " << reportPath << "\n"
       << std::flush;
}

}  // namespace modflash::fleet
