#include "fleet/fleet_run.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "fleet/child_process.h"
#include "fleet/console.h"
#include "fleet/phase_log.h"
#include "fleet/transcript_reader.h"

namespace modflash::fleet {
namespace {

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
  std::vector<ReaderRecord> records(readers.size());
  for (size_t i = 0; i < readers.size(); ++i) records[i].reader = readers[i];
  const size_t canary =
      std::min(static_cast<size_t>(settings.canary), readers.size());
  std::vector<std::unique_ptr<Running>> running;
  size_t next = 0;
  size_t finished = 0;
  size_t canaryFinished = 0;
  size_t canaryFailed = 0;
  size_t failures = 0;
  int interruptionsSeen = 0;
  std::string stopReason;

  // Sets `stopReason` once a failed canary or too many failures forbid
  // further starts.
  const auto checkStops = [&]() {
    if (stopReason.empty() && canary > 0 && canaryFinished == canary &&
        canaryFailed > 0 && next < readers.size()) {
      stopReason = "canary failed";
      display.Note("Canary failed: " + std::to_string(canaryFailed) + " of " +
                   "the first " + std::to_string(canary) +
                   " reader(s) did not succeed; no other reader is started.");
    }
    if (stopReason.empty() && settings.maxFailures > 0 &&
        failures >= static_cast<size_t>(settings.maxFailures) &&
        next < readers.size()) {
      stopReason = "too many failures";
      display.Note(std::to_string(failures) +
                   " update(s) failed: no further update is started.");
    }
  };
  const auto startable = [&]() {
    checkStops();
    if (next >= readers.size() || !stopReason.empty()) return false;
    if (next >= canary && canaryFinished < canary) return false;
    return running.size() < static_cast<size_t>(settings.jobs);
  };

  for (;;) {
    const auto passStart = SteadyClock::now();
    // Interruptions: the first stops new starts, the second ends them all.
    const int interruptions = Interruptions();
    if (interruptions > interruptionsSeen) {
      if (interruptionsSeen == 0) {
        stopReason = "interrupted";
        display.Note(
            "Interrupted: no further update starts. Waiting for the " +
            std::to_string(running.size()) +
            " running update(s) to finish; stopping one part-way can leave "
            "its module without firmware. Press Ctrl-C again to end them "
            "anyway.");
      }
      if (interruptions >= 2 && interruptionsSeen < 2) {
        display.Note("Interrupted again: ending the " +
                     std::to_string(running.size()) +
                     " running update(s). Their modules may be left without "
                     "firmware; update them again.");
        for (auto& r : running) r->child.Kill();
      }
      interruptionsSeen = interruptions;
    }

    while (startable()) {
      const size_t index = next++;
      ReaderRecord& record = records[index];
      const std::string stem = FileStem(index, record.reader.name);
      const std::string folder = settings.folder + "/";
      record.logFile = stem + ".log";
      auto r = std::make_unique<Running>();
      r->index = index;
      r->log.open(folder + record.logFile, std::ios::binary | std::ios::trunc);
      r->started = SteadyClock::now();
      record.startTime = IsoTimeNow();
      std::string error;
      const std::vector<std::string> args = {
          settings.dryRun ? "--dryrun" : "--program", settings.image,
          record.reader.address, std::to_string(record.reader.port)};
      display.Started(record);
      if (!r->child.Start(settings.modflash, args, folder + stem + ".stderr",
                          error)) {
        record.outcome = Outcome::kFailed;
        record.failureLine = error;
        record.endTime = record.startTime;
        record.seconds = 0.0;
        std::ofstream(folder + stem + ".exit")
            << "not started: " << error << "\n";
        ++finished;
        ++failures;
        if (index < canary) ++canaryFinished, ++canaryFailed;
        display.Finished(record);
        continue;
      }
      running.push_back(std::move(r));
    }

    if (running.empty()) break;  // nothing runs and nothing may start

    std::vector<ChildProcess*> children;
    for (auto& r : running) children.push_back(&r->child);
    ChildProcess::WaitForAny(children, 250);

    for (size_t i = 0; i < running.size();) {
      Running& r = *running[i];
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
      const ChildExit exit = r.child.Wait();
      ReaderRecord& record = records[r.index];
      const std::string stem =
          settings.folder + "/" + FileStem(r.index, record.reader.name);
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
      JudgeRun(r.transcript, exit.exited, exit.status, settings.dryRun, record);
      record.endTime = IsoTimeNow();
      record.seconds = SecondsSince(r.started);
      record.phases = r.phases.Finish(*record.seconds);
      ++finished;
      if (!Succeeded(record.outcome)) ++failures;
      if (r.index < canary) {
        ++canaryFinished;
        if (!Succeeded(record.outcome)) ++canaryFailed;
      }
      display.Finished(record);
      running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
    }

    Totals totals;
    totals.readers = readers.size();
    totals.running = running.size();
    totals.note = stopReason;
    for (size_t i = 0; i < next; ++i) {
      if (records[i].endTime.empty()) continue;
      if (Succeeded(records[i].outcome)) ++totals.succeeded;
      if (records[i].outcome == Outcome::kFailed) ++totals.failed;
    }
    totals.waiting = readers.size() - next;
    if (!stopReason.empty()) {
      totals.notStarted = totals.waiting;
      totals.waiting = 0;
    }
    std::vector<LiveLine> lines;
    for (auto& r : running) {
      lines.push_back({records[r->index].reader.name, r->tracker.Phase(),
                       r->tracker.Percent()});
    }
    display.Live(lines, totals, false);

    if (!running.empty())
      std::this_thread::sleep_until(passStart + kPassInterval);
  }
  display.EndLive();
  return records;
}

}  // namespace modflash::fleet
