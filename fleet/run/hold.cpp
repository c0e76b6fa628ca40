#include "fleet/run/hold.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "fleet/report/journal_read.h"
#include "fleet/run/fleet_run.h"
#include "fleet/system/durable.h"
#include "fleet/text/text.h"

namespace modflash::fleet {
namespace {

namespace fs = std::filesystem;
using std::chrono::steady_clock;

// How often the pause file is looked for: a pause from another process is
// seen within this.
constexpr auto kLookInterval = std::chrono::milliseconds(500);

std::string DurationText(std::chrono::seconds s) {
  const long long n = s.count();
  if (n % 3600 == 0) return std::to_string(n / 3600) + "h";
  if (n % 60 == 0) return std::to_string(n / 60) + "m";
  return std::to_string(n) + "s";
}

}  // namespace

bool ParseDuration(const std::string& text, std::chrono::seconds& out) {
  if (text.size() < 2 || text.size() > 8) return false;
  long long n = 0;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    n = n * 10 + (text[i] - '0');
  }
  const char unit = text.back();
  const long long scale = unit == 's'   ? 1
                          : unit == 'm' ? 60
                          : unit == 'h' ? 3600
                                        : 0;
  if (scale == 0 || n == 0 || n * scale > 7 * 24 * 3600) return false;
  out = std::chrono::seconds(n * scale);
  return true;
}

Hold::Hold(HoldSettings settings, Display& display, RunObserver* observer)
    : settings_(std::move(settings)),
      display_(display),
      observer_(observer),
      approvedWave_(settings_.approvedUpTo),
      events_(settings_.earlier) {}

void Hold::Note(const char* entry, const std::string& by) {
  if (events_.size() < kMaxHoldEvents)
    events_.push_back({entry, LocalTimeNow(), by});
  if (observer_ != nullptr && !observer_->Held(entry, by)) unwritten_ = true;
}

// "modflash-fleet --continue FOLDER `what`", the key named first when
// there is one.
std::string Hold::HowToContinue(const char* what) const {
  const std::string command = "modflash-fleet --continue " + settings_.folder;
  if (!settings_.keys) return command + " " + what;
  return std::string("the key ") + kContinueKey + ", or " + command + ", " +
         what;
}

void Hold::Key(char key) {
  const auto lower =
      static_cast<char>(std::tolower(static_cast<unsigned char>(key)));
  const std::string file = settings_.folder + "/" + kPauseFile;
  std::error_code ec;
  const bool paused = fs::exists(fs::symlink_status(file, ec));
  if (lower == kPauseKey && !paused) {
    if (!ReplaceDurably(file, std::string(kByKey) + "\n")) {
      unwritten_ = true;
      return;
    }
  } else if (lower == kContinueKey && paused) {
    if (!fs::remove(file, ec)) {
      display_.Note("modflash-fleet: cannot remove " + file +
                    "; the run stays paused.");
      return;
    }
    continuedBy_ = kByKey;
  } else {
    return;
  }
  lastLook_ = {};  // the next Check looks at once
}

void Hold::WaveEnded(size_t ended, const std::string& counts) {
  const auto& waves = settings_.approveAfter;
  if (ended <= approvedWave_ ||
      std::find(waves.begin(), waves.end(), ended) == waves.end()) {
    return;
  }
  approvedWave_ = ended;
  const std::string by = "approval after wave " + std::to_string(ended);
  if (!ReplaceDurably(settings_.folder + "/" + kPauseFile, by + "\n")) {
    unwritten_ = true;
    return;
  }
  approving_ = true;
  since_ = steady_clock::now();
  paused_ = "paused (" + by + ")";
  std::string timeout;
  if (settings_.approveTimeout.count() > 0) {
    timeout =
        "; without it within " + DurationText(settings_.approveTimeout) +
        (settings_.stopWithoutApproval ? " the run stops" : " the run goes on");
  }
  display_.Note("Wave " + std::to_string(ended) + " ended: " + counts +
                ". Waiting for approval: " +
                HowToContinue("starts the next wave") + timeout + ".");
  Note(kEntryPause, by);
}

Hold::Verdict Hold::Check() {
  const auto now = steady_clock::now();
  if (now - lastLook_ < kLookInterval) {
    return paused_.empty() ? Verdict::kGo : Verdict::kWait;
  }
  lastLook_ = now;
  const fs::path file = fs::path(settings_.folder) / kPauseFile;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(file, ec))) {
    if (!paused_.empty()) {
      paused_.clear();
      approving_ = false;
      display_.Note("Continued: updates start again.");
      Note(kEntryContinue, continuedBy_.empty() ? kByContinue : continuedBy_);
    }
    continuedBy_.clear();
    return Verdict::kGo;
  }
  if (paused_.empty()) {
    std::string by;
    std::string error;
    ReadRunFile(settings_.folder, kPauseFile, 4096, by, error);
    by = by.substr(0, by.find('\n'));
    if (by.empty()) by = kByPause;
    paused_ = "paused (" + by + ")";
    std::string then = HowToContinue("goes on.");
    if (settings_.keys) then[0] = 'T';  // "The key c, or ..."
    display_.Note("Paused (" + Shown(by) +
                  "): no new update starts; running ones finish. " + then);
    Note(kEntryPause, by);
  }
  if (approving_ && settings_.approveTimeout.count() > 0 &&
      now - since_ >= settings_.approveTimeout) {
    fs::remove(file, ec);
    paused_.clear();
    approving_ = false;
    const std::string none =
        "no approval within " + DurationText(settings_.approveTimeout);
    Note(kEntryContinue, none);
    if (settings_.stopWithoutApproval) {
      stopReason_ = none;
      return Verdict::kStop;
    }
    display_.Note("No approval within " +
                  DurationText(settings_.approveTimeout) +
                  ": the run goes on.");
  }
  return paused_.empty() ? Verdict::kGo : Verdict::kWait;
}

}  // namespace modflash::fleet
