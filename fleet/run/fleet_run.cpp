#include "fleet/run/fleet_run.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <thread>

#include "contract/phases.h"
#include "fleet/plan/waves.h"
#include "fleet/report/journal_read.h"
#include "fleet/run/exit_file.h"
#include "fleet/run/hang_up.h"
#include "fleet/run/running.h"
#include "fleet/run/window_gate.h"
#include "fleet/system/durable.h"
#include "fleet/system/system.h"
#include "fleet/system/terminal.h"
#include "fleet/transcript/diagnosis.h"
#include "fleet/transcript/judgement.h"

namespace modflash::fleet {
namespace {

using process::ChildExit;
using process::ChildProcess;

// Least time between two passes over the running children: the output of
// all of them is collected in one pass, which keeps our own CPU use small.
constexpr auto kPassInterval = std::chrono::milliseconds(40);

// Starts the readers wave by wave as far as the settings allow, collects
// the children's output pass by pass and records each reader as it ends.
class Scheduler {
 public:
  Scheduler(const FleetSettings& settings, const std::vector<Reader>& readers,
            Display& display)
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

  FleetResult Run() {
    for (;;) {
      const auto passStart = SteadyClock::now();
      FollowInterruptions();
      waiting_ = false;
      while (Startable()) StartNext();
      if (running_.empty() && !waiting_) break;  // nothing runs, nor may start
      if (running_.empty()) {  // until a maintenance window opens
        ShowLive();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        continue;
      }
      std::vector<ChildProcess*> children;
      for (auto& r : running_) children.push_back(r->child.get());
      ChildProcess::WaitForAny(children, 250);
      Collect();
      ShowLive();
      if (!running_.empty()) {
        std::this_thread::sleep_until(passStart + kPassInterval);
      }
    }
    display_.EndLive();
    for (ReaderRecord& r : result_.records) {
      r.imageSha256 = settings_.imageSha256;
      if (r.facts.fileVersion.empty())
        r.facts.fileVersion = settings_.imageVersion;
    }
    return result_;
  }

 private:
  size_t Updates() const {
    size_t updates = 0;
    for (const auto& r : running_) updates += r->step == Step::kUpdate;
    return updates;
  }

  // The first interruption stops new starts, and ends what changes nothing
  // yet (an audit, a version read); the second ends everything.
  void FollowInterruptions() {
    if (!hungUp_ && HungUp()) {
      hungUp_ = true;
      FollowHangUp(display_, settings_.folder, Updates());
      if (HangUpEnds()) Stop("the console was closed");
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
      display_.Note("Interrupted again: ending the " +
                    std::to_string(Updates()) +
                    " running update(s). Their modules may be left without "
                    "firmware; update them again.");
      for (auto& r : running_) Kill(*r);
    }
    interruptionsSeen_ = interruptions;
  }

  static void Kill(Running& r) {
    r.killed = true;
    r.child->Kill();
  }

  void Stop(const std::string& reason) {
    if (result_.stopped.empty()) result_.stopped = reason;
  }

  // A file of the run folder that could not be written: no update starts
  // after it.
  void NotWritten(const std::string& path) {
    if (!result_.unwritten.empty()) return;
    result_.unwritten = path;
    Stop("cannot write " + path);
    const std::string note = "modflash-fleet: cannot write " + path +
                             " (is the disk full?): no further update starts.";
    display_.Note(note);
    // After a hang-up the console is fleet.log already.
    if (!hungUp_)
      AppendDurably(settings_.folder + "/" + kFleetLog, note + "\n");
  }

  // Whether a running child works on the reader of `reader`'s address and
  // port: one reader takes one update at a time, however often a list
  // names it.
  bool Busy(const Reader& reader) const {
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
  void CheckStops() {
    if (!result_.stopped.empty() || next_ >= readers_.size() || audit_) return;
    if (settings_.maxFailures > 0 &&
        failures_ >= static_cast<size_t>(settings_.maxFailures)) {
      Stop(std::to_string(failures_) + " update(s) failed (--max-failures " +
           std::to_string(settings_.maxFailures) + ")");
      display_.Note(std::to_string(failures_) +
                    " update(s) failed: no further update is started.");
    } else if (settings_.maxFailureRate >= 0 && finished_ > 0 &&
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

  static HoldSettings HoldOf(const FleetSettings& settings) {
    HoldSettings hold = settings.hold;
    hold.folder = settings.folder;
    return hold;
  }

  // Whether the next reader may start: within the current wave, or the
  // wave before has ended well enough for the next (and was approved, if
  // asked); not while the run is paused.
  bool Startable() {
    CheckStops();
    if (next_ >= readers_.size() || !result_.stopped.empty()) return false;
    if (next_ == waveEnd_) {
      if (!running_.empty()) return false;  // the wave is still running
      if (CanaryFailed()) return false;
      if (wave_ > 0) hold_.WaveEnded(wave_, WaveCounts());
    }
    if (!HoldAllows()) return false;
    if (next_ == waveEnd_ && !NextWave()) return false;
    if (running_.size() >= static_cast<size_t>(settings_.jobs) ||
        Busy(readers_[next_])) {
      return false;
    }
    return WindowAllows();
  }

  // Whether a maintenance window lets the next update start; when none
  // does, the run waits for one or, as asked, stops.
  bool WindowAllows() {
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
  bool CanaryFailed() {
    if (!settings_.canary || wave_ != 1 || waveFailures_ == 0) return false;
    Stop("canary failed");
    display_.Note("Canary failed: " + std::to_string(waveFailures_) +
                  " of the first " + std::to_string(plan_[0]) +
                  " reader(s) did not succeed; no other reader is started.");
    return true;
  }

  // "3 succeeded, 1 failed" of the wave that just ended.
  std::string WaveCounts() const {
    size_t succeeded = 0;
    size_t failed = 0;
    for (size_t i = waveEnd_ - plan_[wave_ - 1]; i < waveEnd_; ++i) {
      const Outcome outcome = result_.records[i].outcome;
      if (Succeeded(outcome)) ++succeeded;
      if (outcome == Outcome::kFailed) ++failed;
    }
    return std::to_string(succeeded) + " succeeded, " + std::to_string(failed) +
           " failed";
  }

  // Whether a pause (or a wave's approval) lets starts go on.
  bool HoldAllows() {
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
  bool NextWave() {
    if (wave_ > 0 && settings_.observer != nullptr &&
        !settings_.observer->WaveEnded(result_.records)) {
      NotWritten(settings_.observer->Unwritten());
      return false;
    }
    const size_t size = plan_[wave_];
    ++wave_;
    waveEnd_ += size;
    waveFailures_ = 0;
    result_.waves.push_back(size);
    if (plan_.size() > 1) {
      display_.Note("Wave " + std::to_string(wave_) + " of " +
                    std::to_string(plan_.size()) + ": " + std::to_string(size) +
                    " reader(s), from number " + std::to_string(next_ + 1) +
                    ".");
    }
    return true;
  }

  void StartNext() {
    const size_t index = next_++;
    ReaderRecord& record = result_.records[index];
    if (index < settings_.kept.size() && settings_.kept[index]) {
      record = *settings_.kept[index];  // ended before the run was resumed
      Counted(record, false);
      return;
    }
    record.wave = static_cast<int>(wave_);
    record.startTime = IsoTimeNow();
    auto r = std::make_unique<Running>();
    r->index = index;
    r->started = SteadyClock::now();
    display_.Started(record);
    const Step first = audit_ ? Step::kAudit
                       : settings_.kind == RunKind::kProgram && !settings_.force
                           ? Step::kVersionRead
                           : Step::kUpdate;
    if (StartStep(*r, first)) running_.push_back(std::move(r));
  }

  // Starts the child of `step` for the reader of `r`; false (the reader
  // recorded) when it could not be started.
  bool StartStep(Running& r, Step step) {
    ReaderRecord& record = result_.records[r.index];
    const std::string stem = FileStem(r.index, record.reader.name);
    const std::string folder = settings_.folder + "/";
    const std::string logFile =
        stem + (step == Step::kVersionRead ? ".version.log" : ".log");
    r.step = step;
    r.child = std::make_unique<ChildProcess>();
    r.transcript.clear();
    record.logFile = logFile;
    const std::string port = std::to_string(record.reader.port);
    const bool update = step == Step::kUpdate;
    std::vector<std::string> args = {record.reader.address, port};
    if (update) {
      args.insert(
          args.begin(),
          {settings_.kind == RunKind::kDryRun ? "--dryrun" : "--program",
           settings_.image});
    }
    // The child writes its transcript itself, and runs on whether or not
    // this program does.
    process::StartOptions options;
    options.outputFile = folder + logFile;
    options.errorFile = folder + stem + ".stderr";
    options.detached = true;
    std::string error;
    if (r.child->Start(update ? settings_.modflash : settings_.auditProgram,
                       args, options, error)) {
      const char* name = update                 ? "update"
                         : step == Step::kAudit ? "audit"
                                                : "version-read";
      if (settings_.observer != nullptr &&
          !settings_.observer->Started(r.index, record, name, r.child->Id())) {
        NotWritten(settings_.observer->Unwritten());
      }
      return true;
    }
    record.outcome = audit_ ? Outcome::kNotStarted : Outcome::kFailed;
    record.failureLine = error;
    record.endTime = record.startTime;
    record.seconds = 0.0;
    if (!WriteNotStartedFile(folder + stem + ".exit", error)) {
      NotWritten(folder + stem + ".exit");
    }
    Counted(record);
    return false;
  }

  // Hands each running child's new output to its log, transcript and
  // tracker; records the readers whose child ended.
  void Collect() {
    for (size_t i = 0; i < running_.size();) {
      Running& r = *running_[i];
      std::string chunk;
      const bool open = r.child->ReadOutput(chunk);
      if (!chunk.empty()) {
        r.transcript += chunk;
        r.tracker.Consume(chunk);
        if (r.step == Step::kUpdate) {
          r.phases.Consume(chunk, SecondsSince(r.started));
        }
      }
      if (open || Finish(r)) {
        ++i;
        continue;
      }
      running_.erase(running_.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }

  // Records the end of a child; true when the reader goes on with its
  // update.
  bool Finish(Running& r) {
    const ChildExit exit = r.child->Wait();
    ReaderRecord& record = result_.records[r.index];
    const std::string stem =
        settings_.folder + "/" + FileStem(r.index, record.reader.name);
    std::error_code ignored;
    if (std::filesystem::file_size(stem + ".stderr", ignored) == 0) {
      std::filesystem::remove(stem + ".stderr", ignored);
    }
    if (r.killed && r.step != Step::kUpdate) {
      NotStarted(record);  // it changed nothing
      return false;
    }
    if (r.step == Step::kVersionRead) {
      if (!SkipIfCurrent(r, exit, record)) return StartStep(r, Step::kUpdate);
    } else if (!WriteExitFile(stem + ".exit", exit)) {
      NotWritten(stem + ".exit");
    }
    if (r.step == Step::kAudit) {
      JudgeAudit(r.transcript, exit.status, settings_.imageVersion, record);
    } else if (r.step == Step::kUpdate) {
      JudgeRun(r.transcript, exit, r.killed, settings_.kind == RunKind::kDryRun,
               record);
      record.phases = r.phases.Finish(SecondsSince(r.started));
    }
    record.endTime = IsoTimeNow();
    record.seconds = SecondsSince(r.started);
    Counted(record);
    return false;
  }

  // After the version read: a module that runs the image's version is done
  // (true). Otherwise the update follows (false), knowing whether the
  // module runs another version.
  bool SkipIfCurrent(const Running& r, const ChildExit& exit,
                     ReaderRecord& record) {
    const TranscriptFacts read = ReadTranscript(r.transcript);
    const bool answered = exit.exited && exit.status == 0;
    if (answered) record.current = read.versionBefore == settings_.imageVersion;
    if (!answered || !*record.current) return false;
    record.outcome = Outcome::kAlreadyCurrent;
    record.moduleState = output::kAlreadyCurrentState;
    record.facts = read;
    return true;
  }

  // Counts a finished reader towards the stops, and shows it; `note`: in
  // the journal too.
  void Counted(const ReaderRecord& record, bool note = true) {
    const auto index = static_cast<size_t>(&record - result_.records.data());
    if (note && settings_.observer != nullptr &&
        !settings_.observer->Ended(index, record)) {
      NotWritten(settings_.observer->Unwritten());
    }
    ++finished_;
    if (record.outcome == Outcome::kFailed) {
      ++failures_;
      ++waveFailures_;
    }
    display_.Finished(record);
  }

  void ShowLive() {
    Totals totals;
    totals.readers = readers_.size();
    totals.running = running_.size();
    totals.note = !result_.stopped.empty()  ? result_.stopped
                  : !hold_.Paused().empty() ? hold_.Paused()
                                            : gate_.Waiting();
    // One wave of everything is no wave to speak of.
    totals.wave = wave_;
    totals.waves = plan_.size() > 1 ? plan_.size() : 0;
    for (size_t i = 0; i < next_; ++i) {
      const ReaderRecord& r = result_.records[i];
      if (r.endTime.empty()) continue;
      if (Succeeded(r.outcome)) ++totals.succeeded;
      if (r.outcome != Outcome::kNotStarted && !Succeeded(r.outcome)) {
        ++totals.failed;
      }
    }
    totals.waiting = readers_.size() - next_;
    if (!result_.stopped.empty()) {
      totals.notStarted = totals.waiting;
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

  const FleetSettings& settings_;
  const std::vector<Reader>& readers_;
  Display& display_;
  const bool audit_;
  const std::vector<size_t> plan_;
  FleetResult result_;
  std::vector<std::unique_ptr<Running>> running_;
  size_t next_ = 0;
  size_t wave_ = 0;     // the current wave, from 1; 0 before the first
  size_t waveEnd_ = 0;  // the reader after the current wave's last
  size_t waveFailures_ = 0;
  size_t finished_ = 0;
  size_t failures_ = 0;
  WindowGate gate_;
  Hold hold_;
  bool waiting_ = false;  // this pass: only a closed window holds starts
  int interruptionsSeen_ = 0;
  bool hungUp_ = false;
};

}  // namespace

FleetResult RunFleet(const FleetSettings& settings,
                     const std::vector<Reader>& readers, Display& display) {
  return Scheduler(settings, readers, display).Run();
}

}  // namespace modflash::fleet
