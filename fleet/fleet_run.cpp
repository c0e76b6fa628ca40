#include "fleet/fleet_run.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "fleet/console.h"
#include "fleet/phase_log.h"
#include "fleet/transcript_reader.h"
#include "process/child_process.h"

namespace modflash::fleet {
namespace {

using process::ChildExit;
using process::ChildProcess;
using SteadyClock = std::chrono::steady_clock;

// Least time between two passes over the running updates: the output of
// all of them is collected in one pass, which keeps our own CPU use small.
constexpr auto kPassInterval = std::chrono::milliseconds(40);

std::string IsoTimeNow() {
  const std::tm local = LocalTime(std::time(nullptr));
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return text;
}

// "007-reader-7": the inventory position and the name, kept to characters
// that every file system takes.
std::string FileStem(size_t index, const std::string& name) {
  char number[16];
  std::snprintf(number, sizeof number, "%03zu-", index + 1);
  std::string stem = number;
  for (const char c : name.substr(0, 40)) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '.' || c == '-' ||
                       c == '_';
    stem.push_back(plain ? c : '_');
  }
  return stem;
}

bool Succeeded(Outcome outcome) {
  return outcome == Outcome::kUpdated || outcome == Outcome::kDryRunOk;
}

struct Running {
  size_t index = 0;
  ChildProcess child;
  std::ofstream log;
  std::string transcript;
  ProgressTracker tracker;
  PhaseLog phases;
  SteadyClock::time_point started;
};

double SecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// Starts the updates as far as the settings allow, collects their output
// pass by pass and records each one as it ends.
class Scheduler {
 public:
  Scheduler(const FleetSettings& settings, const std::vector<Reader>& readers,
            Display& display)
      : settings_(settings),
        readers_(readers),
        display_(display),
        records_(readers.size()),
        canary_(
            std::min(static_cast<size_t>(settings.canary), readers.size())) {
    for (size_t i = 0; i < readers.size(); ++i) records_[i].reader = readers[i];
  }

  std::vector<ReaderRecord> Run() {
    for (;;) {
      const auto passStart = SteadyClock::now();
      FollowInterruptions();
      while (Startable()) StartNext();
      if (running_.empty()) break;  // nothing runs and nothing may start
      std::vector<ChildProcess*> children;
      for (auto& r : running_) children.push_back(&r->child);
      ChildProcess::WaitForAny(children, 250);
      Collect();
      ShowLive();
      if (!running_.empty()) {
        std::this_thread::sleep_until(passStart + kPassInterval);
      }
    }
    display_.EndLive();
    return records_;
  }

 private:
  // The first interruption stops new starts, the second ends them all.
  void FollowInterruptions() {
    const int interruptions = Interruptions();
    if (interruptions <= interruptionsSeen_) return;
    if (interruptionsSeen_ == 0) {
      stopReason_ = "interrupted";
      display_.Note(
          "Interrupted: no further update starts. Waiting for the " +
          std::to_string(running_.size()) +
          " running update(s) to finish; stopping one part-way can leave "
          "its module without firmware. Press Ctrl-C again to end them "
          "anyway.");
    }
    if (interruptions >= 2 && interruptionsSeen_ < 2) {
      display_.Note("Interrupted again: ending the " +
                    std::to_string(running_.size()) +
                    " running update(s). Their modules may be left without "
                    "firmware; update them again.");
      for (auto& r : running_) r->child.Kill();
    }
    interruptionsSeen_ = interruptions;
  }

  // Sets the stop reason once a failed canary or too many failures forbid
  // further starts.
  void CheckStops() {
    if (!stopReason_.empty() || next_ >= readers_.size()) return;
    if (canary_ > 0 && canaryFinished_ == canary_ && canaryFailed_ > 0) {
      stopReason_ = "canary failed";
      display_.Note("Canary failed: " + std::to_string(canaryFailed_) +
                    " of the first " + std::to_string(canary_) +
                    " reader(s) did not succeed; no other reader is started.");
    } else if (settings_.maxFailures > 0 &&
               failures_ >= static_cast<size_t>(settings_.maxFailures)) {
      stopReason_ = "too many failures";
      display_.Note(std::to_string(failures_) +
                    " update(s) failed: no further update is started.");
    }
  }

  bool Startable() {
    CheckStops();
    if (next_ >= readers_.size() || !stopReason_.empty()) return false;
    if (next_ >= canary_ && canaryFinished_ < canary_) return false;
    return running_.size() < static_cast<size_t>(settings_.jobs);
  }

  void StartNext() {
    const size_t index = next_++;
    ReaderRecord& record = records_[index];
    const std::string stem = FileStem(index, record.reader.name);
    const std::string folder = settings_.folder + "/";
    record.logFile = stem + ".log";
    auto r = std::make_unique<Running>();
    r->index = index;
    r->log.open(folder + record.logFile, std::ios::binary | std::ios::trunc);
    r->started = SteadyClock::now();
    record.startTime = IsoTimeNow();
    const std::vector<std::string> args = {
        settings_.dryRun ? "--dryrun" : "--program", settings_.image,
        record.reader.address, std::to_string(record.reader.port)};
    display_.Started(record);
    process::StartOptions options;
    options.errorFile = folder + stem + ".stderr";
    options.ownGroup = true;
    std::string error;
    if (r->child.Start(settings_.modflash, args, options, error)) {
      running_.push_back(std::move(r));
      return;
    }
    record.outcome = Outcome::kFailed;
    record.failureLine = error;
    record.endTime = record.startTime;
    record.seconds = 0.0;
    std::ofstream(folder + stem + ".exit") << "not started: " << error << "\n";
    Counted(index, record);
  }

  // Hands each running update's new output to its log, transcript and
  // tracker; records the updates whose output ended.
  void Collect() {
    for (size_t i = 0; i < running_.size();) {
      Running& r = *running_[i];
      std::string chunk;
      const bool open = r.child.ReadOutput(chunk);
      if (!chunk.empty()) {
        r.log.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        r.log.flush();
        r.transcript += chunk;
        r.tracker.Consume(chunk);
        r.phases.Consume(chunk, SecondsSince(r.started));
      }
      if (open) {
        ++i;
        continue;
      }
      Finish(r);
      running_.erase(running_.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }

  void Finish(Running& r) {
    const ChildExit exit = r.child.Wait();
    ReaderRecord& record = records_[r.index];
    const std::string stem =
        settings_.folder + "/" + FileStem(r.index, record.reader.name);
    r.log.close();
    {
      std::ofstream status(stem + ".exit", std::ios::trunc);
      if (exit.exited) {
        status << exit.status << "\n";
      } else {
        status << "signal " << exit.signal << "\n";
      }
    }
    std::error_code ignored;
    if (std::filesystem::file_size(stem + ".stderr", ignored) == 0) {
      std::filesystem::remove(stem + ".stderr", ignored);
    }
    JudgeRun(r.transcript, exit.exited, exit.status, settings_.dryRun, record);
    record.endTime = IsoTimeNow();
    record.seconds = SecondsSince(r.started);
    record.phases = r.phases.Finish(*record.seconds);
    Counted(r.index, record);
  }

  // Counts a finished update towards the stops, and shows it.
  void Counted(size_t index, const ReaderRecord& record) {
    const bool failed = !Succeeded(record.outcome);
    if (failed) ++failures_;
    if (index < canary_) {
      ++canaryFinished_;
      if (failed) ++canaryFailed_;
    }
    display_.Finished(record);
  }

  void ShowLive() {
    Totals totals;
    totals.readers = readers_.size();
    totals.running = running_.size();
    totals.note = stopReason_;
    for (size_t i = 0; i < next_; ++i) {
      if (records_[i].endTime.empty()) continue;
      if (Succeeded(records_[i].outcome)) ++totals.succeeded;
      if (records_[i].outcome == Outcome::kFailed) ++totals.failed;
    }
    totals.waiting = readers_.size() - next_;
    if (!stopReason_.empty()) {
      totals.notStarted = totals.waiting;
      totals.waiting = 0;
    }
    std::vector<LiveLine> lines;
    for (auto& r : running_) {
      lines.push_back({records_[r->index].reader.name, r->tracker.Phase(),
                       r->tracker.Percent(), SecondsSince(r->started)});
    }
    display_.Live(lines, totals, false);
  }

  const FleetSettings& settings_;
  const std::vector<Reader>& readers_;
  Display& display_;
  std::vector<ReaderRecord> records_;
  const size_t canary_;
  std::vector<std::unique_ptr<Running>> running_;
  size_t next_ = 0;
  size_t canaryFinished_ = 0;
  size_t canaryFailed_ = 0;
  size_t failures_ = 0;
  int interruptionsSeen_ = 0;
  std::string stopReason_;
};

}  // namespace

void JudgeRun(const std::string& transcript, bool exited, int status,
              bool dryRun, ReaderRecord& record) {
  record.facts = ReadTranscript(transcript);
  if (exited) record.exitStatus = status;
  if (exited && status == 0) {
    record.outcome = dryRun ? Outcome::kDryRunOk : Outcome::kUpdated;
    return;
  }
  record.outcome = Outcome::kFailed;
  record.failureLine = record.facts.lastLine;
  record.firstError = record.facts.firstErrorLine;
}

std::vector<ReaderRecord> RunFleet(const FleetSettings& settings,
                                   const std::vector<Reader>& readers,
                                   Display& display) {
  return Scheduler(settings, readers, display).Run();
}

}  // namespace modflash::fleet
