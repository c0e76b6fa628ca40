// The steps of one reader: its children (a version read, an update, an
// audit), their output and their ends.

#include <filesystem>
#include <memory>

#include "fleet/run/exit_file.h"
#include "fleet/run/scheduler.h"
#include "fleet/transcript/judgement.h"
#include "fleet/transcript/transcript_reader.h"

namespace modflash::fleet {

using process::ChildExit;
using process::ChildProcess;

namespace {

// Whether a record is of a reader left alone after its version read: no
// update, so no place in a wave and no count towards the failure rate.
bool LeftAlone(const ReaderRecord& record) {
  return record.outcome == Outcome::kAlreadyCurrent ||
         record.outcome == Outcome::kNewerThanImage;
}

}  // namespace

void Scheduler::StartNext() {
  const size_t index = next_++;
  ReaderRecord& record = result_.records[index];
  if (index < settings_.kept.size() && settings_.kept[index]) {
    record = *settings_.kept[index];  // ended before the run was resumed
    if (!LeftAlone(record) && record.outcome != Outcome::kNotStarted)
      TakePlace();
    Counted(record, false);
    return;
  }
  record.wave = static_cast<int>(wave_);
  record.startTime = IsoTimeNow();
  auto r = std::make_unique<Running>();
  r->index = index;
  r->started = SteadyClock::now();
  display_.Started(record);
  // The version read finds the modules to leave alone: the current ones
  // (unless forced) and the newer ones (unless older images are allowed).
  const bool read = settings_.kind == RunKind::kProgram &&
                    !(settings_.force && settings_.allowOlder);
  const Step first = audit_ ? Step::kAudit
                     : read ? Step::kVersionRead
                            : Step::kUpdate;
  TakePlace();
  if (StartStep(*r, first)) running_.push_back(std::move(r));
}

// Starts the child of `step` for the reader of `r`; false (the reader
// recorded) when it could not be started.
bool Scheduler::StartStep(Running& r, Step step) {
  ReaderRecord& record = result_.records[r.index];
  const std::string stem = FileStem(r.index, record.reader.name);
  const std::string folder = settings_.folder + "/";
  r.step = step;
  r.child = std::make_unique<ChildProcess>();
  r.transcript.clear();
  record.logFile =
      stem + (step == Step::kVersionRead ? ".version.log" : ".log");
  // On the disk before the child starts: a fleet ended at any moment
  // leaves no child that its journal does not name.
  RunObserver* observer = settings_.observer;
  if (observer != nullptr &&
      !observer->Starting(r.index, record, StepName(step))) {
    NotWritten(observer->Unwritten());
    NotStarted(record);
    ReleasePlace();
    Counted(record, false);
    return false;
  }
  // The child writes its transcript itself, and runs on whether or not
  // this program does.
  process::StartOptions options;
  options.outputFile = folder + record.logFile;
  options.errorFile = folder + stem + ".stderr";
  options.detached = true;
  std::string error;
  const bool update = step == Step::kUpdate;
  if (r.child->Start(update ? settings_.modflash : settings_.auditProgram,
                     ChildArguments(step, settings_.kind, settings_.image,
                                    record.reader),
                     options, error)) {
    if (observer != nullptr && !observer->Running(r.index, r.child->Id())) {
      NotWritten(observer->Unwritten());
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
void Scheduler::Collect() {
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
bool Scheduler::Finish(Running& r) {
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
    ReleasePlace();
    return false;
  }
  if (r.step == Step::kVersionRead) {
    if (!SkipIfNotNeeded(r, exit, record)) return StartStep(r, Step::kUpdate);
    ReleasePlace();
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

// After the version read: a module that runs a newer version than the
// image (unless allowed) or the image's own (unless forced) is left alone
// (true). Otherwise the update follows (false), knowing whether the module
// runs another version. A version that cannot be read as one is not newer.
bool Scheduler::SkipIfNotNeeded(const Running& r, const ChildExit& exit,
                                ReaderRecord& record) {
  const TranscriptFacts read = ReadTranscript(r.transcript);
  const bool answered = exit.exited && exit.status == 0;
  if (!answered) return false;
  record.current = read.versionBefore == settings_.imageVersion;
  if (!settings_.allowOlder &&
      NewerThanImage(read.versionBefore, settings_.imageVersion)) {
    JudgeNewer(read, settings_.imageVersion, record);
    return true;
  }
  if (!*record.current || settings_.force) return false;
  JudgeCurrent(read, record);
  return true;
}

// Counts a finished reader towards the stops, and shows it; `note`: in
// the journal too.
void Scheduler::Counted(const ReaderRecord& record, bool note) {
  const auto index = static_cast<size_t>(&record - result_.records.data());
  if (note && settings_.observer != nullptr &&
      !settings_.observer->Ended(index, record)) {
    NotWritten(settings_.observer->Unwritten());
  }
  if (!LeftAlone(record) && record.outcome != Outcome::kNotStarted) ++finished_;
  if (record.outcome == Outcome::kFailed) {
    ++failures_;
    ++waveFailures_;
  }
  display_.Finished(record);
}

}  // namespace modflash::fleet
