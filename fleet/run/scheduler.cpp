#include "fleet/run/scheduler.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "fleet/plan/waves.h"
#include "fleet/report/journal_read.h"
#include "fleet/run/hang_up.h"
#include "fleet/system/durable.h"
#include "fleet/system/keys.h"
#include "fleet/system/system.h"
#include "fleet/system/terminal.h"

namespace modflash::fleet {
namespace {

HoldSettings HoldOf(const FleetSettings& settings) {
  HoldSettings hold = settings.hold;
  hold.folder = settings.folder;
  hold.keys = settings.keys != nullptr;
  return hold;
}

// Keys read in one pass at most: a paste does not hold the loop.
constexpr int kKeysPerPass = 16;

// Least time between two passes over the running children: the output of
// all of them is collected in one pass, which keeps our own CPU use small.
// A pass costs a few calls per child, so with many children they come less
// often: a millisecond per child, and never less than once a second, which
// keeps the live progress live.
std::chrono::milliseconds PassInterval(size_t running) {
  constexpr auto kLeast = std::chrono::milliseconds(40);
  constexpr auto kMost = std::chrono::milliseconds(1000);
  const auto perChild = std::chrono::milliseconds(
      static_cast<std::chrono::milliseconds::rep>(running));
  return std::clamp(perChild, kLeast, kMost);
}

}  // namespace

using process::ChildProcess;

Scheduler::Scheduler(const FleetSettings& settings,
                     const std::vector<Reader>& readers, Display& display)
    : settings_(settings),
      readers_(readers),
      display_(display),
      audit_(settings.kind == RunKind::kAudit),
      plan_(settings.waves.empty() ? WavePlan({}, readers.size())
                                   : settings.waves),
      gate_(settings.windows, settings.stopAtWindowEnd, display,
            settings.observer),
      hold_(HoldOf(settings), display, settings.observer) {
  result_.records.resize(readers.size());
  for (size_t i = 0; i < readers.size(); ++i) {
    result_.records[i].reader = readers[i];
    NotStarted(result_.records[i]);
  }
}

FleetResult Scheduler::Run() {
  for (;;) {
    const auto passStart = SteadyClock::now();
    FollowInterruptions();
    waiting_ = false;
    FollowKeys();
    while (Startable()) StartNext();
    if (running_.empty() && !waiting_) break;  // nothing runs, nor may start
    if (running_.empty()) {  // until a window opens or the run continues
      ShowLive();
      if (settings_.keys != nullptr && !hungUp_) {
        settings_.keys->Wait(1000);  // a key ends the wait
      } else {
        std::this_thread::sleep_for(std::chrono::seconds(1));
      }
      continue;
    }
    std::vector<ChildProcess*> children;
    for (auto& r : running_) children.push_back(r->child.get());
    ChildProcess::WaitForAny(children, 250);
    Collect();
    ShowLive();
    if (!running_.empty()) {
      std::this_thread::sleep_until(passStart + PassInterval(running_.size()));
    }
  }
  display_.EndLive();
  result_.holds = hold_.Events();
  // A last wave whose readers were all left alone updated nothing.
  if (!result_.waves.empty() && result_.waves.back() == 0)
    result_.waves.pop_back();
  for (ReaderRecord& r : result_.records) {
    r.imageSha256 = settings_.imageSha256;
    if (r.facts.fileVersion.empty())
      r.facts.fileVersion = settings_.imageVersion;
  }
  return result_;
}

size_t Scheduler::Updates() const {
  size_t updates = 0;
  for (const auto& r : running_) updates += r->step == Step::kUpdate;
  return updates;
}

// The first interruption stops new starts, and ends what changes nothing
// yet (an audit, a version read); the second ends everything.
void Scheduler::FollowInterruptions() {
  if (!hungUp_ && HungUp()) {
    hungUp_ = true;
    // Noted before the system may end this program: once told,
    // FollowHangUp lets it.
    if (HangUpEnds()) {
      Stop("the console was closed");
      if (settings_.observer != nullptr && !settings_.observer->Ending())
        NotWritten(settings_.observer->Unwritten());
    }
    FollowHangUp(display_, settings_.folder, Updates());
  }
  const int interruptions = Interruptions();
  if (interruptions <= interruptionsSeen_) return;
  if (interruptionsSeen_ == 0) {
    Stop("interrupted");
    if (audit_) {
      display_.Note("Interrupted: the audit stops; it changed nothing.");
    } else {
      display_.Note(
          "Interrupted: no further update starts. Waiting for the " +
          std::to_string(Updates()) +
          " running update(s) to finish; stopping one part-way can leave "
          "its module without firmware. Press Ctrl-C again to end them "
          "anyway.");
    }
    for (auto& r : running_) {
      if (r->step != Step::kUpdate) Kill(*r);
    }
  }
  if (interruptions >= 2 && interruptionsSeen_ < 2) {
    display_.Note("Interrupted again: ending the " + std::to_string(Updates()) +
                  " running update(s). Their modules may be left without "
                  "firmware; update them again.");
    for (auto& r : running_) Kill(*r);
  }
  interruptionsSeen_ = interruptions;
}

// The keys pressed on the terminal since the last pass, while readers are
// left to start; a pause or continue is seen (and told) at once.
void Scheduler::FollowKeys() {
  if (settings_.keys == nullptr || hungUp_) return;
  bool pressed = false;
  for (int i = 0; i < kKeysPerPass; ++i) {
    const char key = settings_.keys->Next();
    if (key == 0) break;
    if (next_ >= readers_.size() || !result_.stopped.empty()) continue;
    hold_.Key(key);
    pressed = true;
  }
  if (pressed) HoldAllows();
}

void Scheduler::Kill(Running& r) {
  r.killed = true;
  r.child->Kill();
}

void Scheduler::Stop(const std::string& reason) {
  if (result_.stopped.empty()) result_.stopped = reason;
}

// A file of the run folder that could not be written: no update starts
// after it.
void Scheduler::NotWritten(const std::string& path) {
  if (!result_.unwritten.empty()) return;
  result_.unwritten = path;
  Stop("cannot write " + path);
  const std::string note = "modflash-fleet: cannot write " + path +
                           " (is the disk full?): no further update starts.";
  display_.Note(note);
  // After a hang-up the console is fleet.log already.
  if (!hungUp_) AppendDurably(settings_.folder + "/" + kFleetLog, note + "\n");
}

// Whether a running child works on the reader of `reader`'s address and
// port: one reader takes one update at a time, however often a list
// names it.
bool Scheduler::Busy(const Reader& reader) const {
  for (const auto& r : running_) {
    const Reader& other = result_.records[r->index].reader;
    if (other.address == reader.address && other.port == reader.port) {
      return true;
    }
  }
  return false;
}

// Sets the stop reason once a failed canary or too many failures forbid
// further starts.
void Scheduler::CheckStops() {
  if (!result_.stopped.empty() || next_ >= readers_.size() || audit_) return;
  if (settings_.maxFailures > 0 &&
      failures_ >= static_cast<size_t>(settings_.maxFailures)) {
    Stop(std::to_string(failures_) + " update(s) failed (--max-failures " +
         std::to_string(settings_.maxFailures) + ")");
    display_.Note(std::to_string(failures_) +
                  " update(s) failed: no further update is started.");
  } else if (settings_.maxFailureRate >= 0 &&
             finished_ >=
                 static_cast<size_t>(std::max(1, settings_.minFinished)) &&
             static_cast<double>(failures_) * 100 >
                 settings_.maxFailureRate * static_cast<double>(finished_)) {
    char rate[32];
    std::snprintf(rate, sizeof rate, "%g%%", settings_.maxFailureRate);
    Stop(std::to_string(failures_) + " of " + std::to_string(finished_) +
         " finished update(s) failed, more than " + rate +
         " (--max-failure-rate)");
    display_.Note(result_.stopped + ": no further update is started.");
  }
}

// Whether the next reader may start: within the current wave, or the
// wave before has ended well enough for the next. A wave is full when its
// places are taken by readers that are (or may be, while their version is
// read) really updated; one whose read leaves it alone gives its place back.
bool Scheduler::Startable() {
  CheckStops();
  if (next_ >= readers_.size() || !result_.stopped.empty()) return false;
  const bool waveEnded = wave_ == 0 || waveTaken_ >= WaveSize();
  if (waveEnded) {
    if (!running_.empty()) return false;  // the wave is still running
    if (CanaryFailed()) return false;
    if (wave_ > 0) hold_.WaveEnded(wave_, WaveCounts());
  }
  if (!HoldAllows()) return false;
  if (waveEnded && !NextWave()) return false;
  if (running_.size() >= static_cast<size_t>(settings_.jobs) ||
      Busy(readers_[next_])) {
    return false;
  }
  return WindowAllows();
}

// Whether a maintenance window lets the next update start; when none
// does, the run waits for one or, as asked, stops.
bool Scheduler::WindowAllows() {
  const WindowGate::Verdict verdict = gate_.Check();
  if (gate_.Unwritten() && settings_.observer != nullptr) {
    NotWritten(settings_.observer->Unwritten());
  }
  if (verdict == WindowGate::Verdict::kStop) {
    Stop(kWindowClosed);
    display_.Note(
        "The maintenance window closed: no further update starts; the "
        "running ones finish. --resume takes the rest in a later window.");
  }
  if (verdict == WindowGate::Verdict::kWait) waiting_ = true;
  return verdict == WindowGate::Verdict::kOpen && result_.stopped.empty();
}

// A canary wave that did not wholly succeed stops the run.
bool Scheduler::CanaryFailed() {
  if (!settings_.canary || wave_ != 1 || waveFailures_ == 0) return false;
  Stop("canary failed");
  display_.Note("Canary failed: " + std::to_string(waveFailures_) +
                " of the first " + std::to_string(plan_[0]) +
                " reader(s) did not succeed; no other reader is started.");
  return true;
}

// "3 succeeded, 1 failed" of the wave that just ended.
std::string Scheduler::WaveCounts() const {
  size_t succeeded = 0;
  size_t failed = 0;
  for (const ReaderRecord& r : result_.records) {
    if (!r.wave || static_cast<size_t>(*r.wave) != wave_) continue;
    if (Succeeded(r.outcome)) ++succeeded;
    if (r.outcome == Outcome::kFailed) ++failed;
  }
  return std::to_string(succeeded) + " succeeded, " + std::to_string(failed) +
         " failed";
}

// Whether a pause (or a wave's approval) lets starts go on.
bool Scheduler::HoldAllows() {
  const Hold::Verdict verdict = hold_.Check();
  if (hold_.Unwritten()) {
    NotWritten(settings_.observer != nullptr &&
                       !settings_.observer->Unwritten().empty()
                   ? settings_.observer->Unwritten()
                   : settings_.folder + "/" + kPauseFile);
  }
  if (verdict == Hold::Verdict::kStop) {
    Stop(hold_.StopReason());
    display_.Note("Stopped: " + hold_.StopReason() +
                  "; no further update starts.");
  }
  if (verdict == Hold::Verdict::kWait) waiting_ = true;
  return verdict == Hold::Verdict::kGo && result_.stopped.empty();
}

// Opens the next wave.
bool Scheduler::NextWave() {
  if (wave_ > 0 && settings_.observer != nullptr &&
      !settings_.observer->WaveEnded(result_.records)) {
    NotWritten(settings_.observer->Unwritten());
    return false;
  }
  ++wave_;
  const size_t size = WaveSize();
  waveTaken_ = 0;
  waveFailures_ = 0;
  result_.waves.push_back(0);
  if (plan_.size() > 1) {
    display_.Note("Wave " + std::to_string(wave_) + " of " +
                  std::to_string(plan_.size()) + ": " + std::to_string(size) +
                  " reader(s), from number " + std::to_string(next_ + 1) + ".");
  }
  return true;
}

// The places of the current wave; the plan's last size goes on should a
// wave be wanted beyond it.
size_t Scheduler::WaveSize() const {
  return plan_[std::min(wave_, plan_.size()) - 1];
}

void Scheduler::TakePlace() {
  ++waveTaken_;
  ++result_.waves.back();
}

void Scheduler::ReleasePlace() {
  --waveTaken_;
  --result_.waves.back();
}

void Scheduler::ShowLive() {
  Totals totals;
  totals.readers = readers_.size();
  totals.running = running_.size();
  totals.note = !result_.stopped.empty()  ? result_.stopped
                : !hold_.Paused().empty() ? hold_.Paused()
                                          : gate_.Waiting();
  // One wave of everything is no wave to speak of.
  totals.wave = wave_;
  totals.waves = plan_.size() > 1 ? plan_.size() : 0;
  std::vector<bool> running(next_, false);
  for (const auto& r : running_) running[r->index] = true;
  // A reader taken but not running has ended; one ended without a run
  // (its version read stopped by a Ctrl-C) was not started.
  for (size_t i = 0; i < next_; ++i) {
    const Outcome outcome = result_.records[i].outcome;
    if (running[i]) continue;
    if (outcome == Outcome::kNotStarted) {
      ++totals.notStarted;
    } else if (Succeeded(outcome)) {
      ++totals.succeeded;
    } else {
      ++totals.failed;
    }
  }
  totals.waiting = readers_.size() - next_;
  if (!result_.stopped.empty()) {
    totals.notStarted += totals.waiting;
    totals.waiting = 0;
  }
  std::vector<LiveLine> lines;
  for (auto& r : running_) {
    lines.push_back(
        {Shown(result_.records[r->index].reader.name),
         r->step == Step::kUpdate ? r->tracker.Phase() : "reading version",
         r->tracker.Percent(), SecondsSince(r->started)});
  }
  display_.Live(lines, totals, false);
}

}  // namespace modflash::fleet
