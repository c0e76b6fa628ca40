// --resume and --status: a run folder's plan and journal read back.

#include <algorithm>
#include <filesystem>
#include <iostream>

#include "fleet/cli/exit_status.h"
#include "fleet/cli/run_steps.h"
#include "fleet/html/html_report.h"
#include "fleet/report/fields.h"
#include "fleet/report/journal_read.h"
#include "fleet/report/report.h"
#include "fleet/run/resume.h"
#include "fleet/run/window_gate.h"
#include "fleet/system/durable.h"
#include "fleet/text/text.h"
#include "fleet/transcript/transcript_reader.h"

namespace modflash::fleet {
namespace {

namespace fs = std::filesystem;

template <typename T>
T Number(const Json& plan, const char* field, T otherwise) {
  const auto it = plan.find(field);
  return it != plan.end() && it->is_number() ? it->get<T>() : otherwise;
}

// run.json of `folder`, bounded; false (the reason printed) without one.
bool ReadRun(const std::string& folder, Json& run) {
  std::string text;
  std::string error;
  if (ReadRunFile(folder, "run.json", kMaxRunJsonBytes, text, error)) {
    run = Json::parse(text, nullptr, false);
    if (run.is_object() && run.contains(field::kPlan) &&
        run[field::kPlan].is_object())
      return true;
    error = folder + "/run.json holds no plan (a run of an earlier version?)";
  }
  std::cout << "modflash-fleet: " << Shown(error) << "\n";
  return false;
}

}  // namespace

bool WriteWavePage(const std::string& folder,
                   const std::vector<ReaderRecord>& records,
                   std::string& error) {
  std::string text;
  if (!ReadRunFile(folder, "run.json", kMaxRunJsonBytes, text, error)) {
    return false;
  }
  Json run = Json::parse(text, nullptr, false);
  if (!run.is_object()) run = Json::object();
  std::vector<Json> lines;
  lines.reserve(records.size());
  for (const ReaderRecord& r : records) lines.push_back(RecordJson(r));
  return WriteHtmlReport(folder, run, lines, error);
}

namespace {

std::vector<std::string> WindowTexts(
    const std::vector<MaintenanceWindow>& windows) {
  std::vector<std::string> texts;
  for (const MaintenanceWindow& w : windows) texts.push_back(w.text);
  return texts;
}

// The plan's maintenance windows (none in plans of earlier versions);
// false when one is malformed.
bool TakeWindows(const Json& plan, Options& o) {
  o.stopAtWindowEnd = Text(plan, field::kWindowEnd) == "stop";
  const auto list = plan.find(field::kWindows);
  if (list == plan.end()) return true;
  if (!list->is_array() || list->size() > 64) return false;
  for (const Json& text : *list) {
    MaintenanceWindow window;
    std::string error;
    if (!text.is_string() ||
        !ParseWindow(text.get<std::string>(), window, error))
      return false;
    o.windows.push_back(window);
  }
  return true;
}

// The plan's approvals (none in plans of earlier versions); false when
// they are malformed.
bool TakeApprovals(const Json& plan, Options& o) {
  o.stopWithoutApproval = Text(plan, field::kWithoutApproval) != "continue";
  o.approveTimeout = std::chrono::seconds(std::clamp<long long>(
      Number(plan, field::kApproveTimeout, 0LL), 0, 604800));
  const auto list = plan.find(field::kApproveAfter);
  if (list == plan.end()) return true;
  if (!list->is_array() || list->size() > 1000) return false;
  for (const Json& wave : *list) {
    if (!wave.is_number_unsigned()) return false;
    o.approveAfter.push_back(wave.get<size_t>());
  }
  return true;
}

// The options and waves the plan had; false when it is malformed.
bool TakePlan(const Json& plan, Options& o, std::vector<size_t>& waves) {
  const std::string kind = Text(plan, field::kKind);
  o.kind = kind == "audit"    ? RunKind::kAudit
           : kind == "dryrun" ? RunKind::kDryRun
                              : RunKind::kProgram;
  o.image = Text(plan, field::kImage);
  o.jobs = Number(plan, field::kJobs, 0);
  o.force = plan.value(field::kForce, false);
  o.allowOlder = plan.value(field::kAllowOlder, false);
  o.minFinished = Number(plan, field::kMinFinished, 5);
  o.canary = plan.value(field::kCanary, false) ? 1 : 0;
  o.maxFailures = Number(plan, field::kMaxFailures, 0);
  o.maxFailureRate = Number(plan, field::kMaxFailureRate, -1.0);
  o.site = Text(plan, field::kSite);
  o.retry = Text(plan, field::kRetryOf);
  if (o.modflash.empty()) o.modflash = Text(plan, field::kModflash);
  if (!TakeWindows(plan, o) || !TakeApprovals(plan, o)) return false;
  const auto list = plan.find(field::kWaves);
  if (list == plan.end() || !list->is_array()) return false;
  for (const Json& w : *list) {
    if (!w.is_number_unsigned()) return false;
    waves.push_back(w.get<size_t>());
  }
  return o.jobs >= 1 && o.jobs <= 1024 &&
         (kind == "audit" || kind == "dryrun" || kind == "program");
}

// The journal of `folder`, its torn last line told and cut away when
// `mend`; false (the reason printed) when it cannot be read.
bool ReadJournalOf(const std::string& folder, size_t readers,
                   JournalRead& journal, bool mend) {
  std::string error;
  if (!ReadJournal(folder, readers, journal, error)) {
    std::cout << "modflash-fleet: " << Shown(error) << "\n";
    return false;
  }
  if (!journal.torn) return true;
  std::cout << folder << "/" << kJournalFile
            << ": note: its last line is cut off (a write cut short, a "
               "power loss); it is left out\n";
  std::error_code ec;
  if (mend)
    fs::resize_file(fs::path(folder) / kJournalFile, journal.wholeBytes, ec);
  return !ec;
}

}  // namespace

Json PlanJson(const Options& o, const FleetSettings& settings,
              const std::vector<Reader>& readers) {
  Json list = Json::array();
  for (const Reader& r : readers) list.push_back(ReaderJson(r));
  return {{field::kKind, RunKindName(o.kind)},
          {field::kImage, o.image},
          {field::kImageVersion, settings.imageVersion},
          {field::kImageSha256, settings.imageSha256},
          {field::kReaders, list},
          {field::kWaves, settings.waves},
          {field::kJobs, settings.jobs},
          {field::kCanary, settings.canary},
          {field::kMaxFailures, settings.maxFailures},
          {field::kMaxFailureRate, settings.maxFailureRate},
          {field::kForce, settings.force},
          {field::kAllowOlder, settings.allowOlder},
          {field::kMinFinished, settings.minFinished},
          {field::kOnly, o.only},
          {field::kSkip, o.skip},
          {field::kSite, o.site},
          {field::kRetryOf, o.retry},
          {field::kModflash, o.modflash},
          {field::kWindows, WindowTexts(settings.windows)},
          {field::kWindowEnd, settings.stopAtWindowEnd ? "stop" : "wait"},
          {field::kApproveAfter, settings.hold.approveAfter},
          {field::kApproveTimeout, settings.hold.approveTimeout.count()},
          {field::kWithoutApproval,
           settings.hold.stopWithoutApproval ? "stop" : "continue"}};
}

namespace {

// The waves approved before: those whose next wave had started.
size_t ApprovedBefore(const JournalRead& journal) {
  size_t approved = 0;
  for (const ReaderTrace& t : journal.readers) {
    if (t.started && t.wave > 1) {
      approved = std::max(approved, static_cast<size_t>(t.wave - 1));
    }
  }
  return approved;
}

// The plan's image, checked again and against the plan's SHA-256; false
// (said why) when it is not the run's.
bool PlanImage(const Options& o, const Json& plan, ImageFacts& image) {
  if (!o.image.empty() && !CheckImage(o.image, image)) return false;
  if (image.sha256 == Text(plan, field::kImageSha256)) return true;
  std::cout << "modflash-fleet: the image " << Shown(o.image)
            << " is not the run's (SHA-256 " << image.sha256 << ", the run's "
            << Shown(Text(plan, field::kImageSha256))
            << "); nothing was started\n";
  return false;
}

// What holds the run, from its journal: a closed console, a pause, a
// closed window.
void PrintHolds(const std::string& folder, const JournalRead& journal,
                bool going) {
  if (!journal.consoleClosed.empty()) {
    std::cout << "The console was closed at " << Shown(journal.consoleClosed)
              << ": the fleet tool ended there, its running updates left "
                 "to finish on their own.\n";
  }
  if (going && !journal.pausedBy.empty()) {
    std::cout << "Paused (" << Shown(journal.pausedBy)
              << "): modflash-fleet --continue " << folder << " goes on\n";
  }
  if (going && !journal.waitingUntil.empty()) {
    std::cout << "Waiting for a maintenance window: the next opens at "
              << Shown(journal.waitingUntil) << "\n";
  }
}

}  // namespace

int ResumeMain(Options o, int argc, char** argv, const char* argv0) {
  const std::string folder = o.resume;
  Json run;
  if (!ReadRun(folder, run)) return kBadInput;
  // A run stopped by the end of its windows goes on in a later one.
  if (Text(run, field::kState) != kStateRunning &&
      Text(run, field::kStopped) != kWindowClosed) {
    std::cout << "modflash-fleet: the run of " << folder
              << " has finished; nothing to resume (--retry " << folder
              << " takes its failures)\n";
    return kBadInput;
  }
  const Json& plan = run[field::kPlan];
  std::vector<size_t> waves;
  std::vector<Reader> readers;
  std::string error;
  if (!TakePlan(plan, o, waves) || !PlanReaders(run, readers, error) ||
      readers.empty()) {
    std::cout << "modflash-fleet: " << folder
              << "/run.json: the plan is malformed " << Shown(error) << "\n";
    return kBadInput;
  }
  ImageFacts image;
  if (!PlanImage(o, plan, image)) return kBadInput;
  FleetSettings settings;
  if (!FindPrograms(o, argv0, settings)) return kBadInput;
  Configure(o, image, readers.size(), settings);
  settings.waves = waves;
  settings.canary = o.canary > 0;
  settings.folder = folder;
  if (!TakeRunLock(folder, error)) {
    std::cout << "modflash-fleet: cannot resume: " << Shown(error) << "\n";
    return kBadInput;
  }
  JournalRead journal;
  if (!ReadJournalOf(folder, readers.size(), journal, true)) {
    ReleaseRunLock(folder);
    return kBadInput;
  }
  settings.hold.approvedUpTo = ApprovedBefore(journal);
  settings.hold.earlier = journal.holds;
  Journal writer(folder, settings.imageSha256, settings.imageVersion, o.site);
  writer.SetPageWriter(WriteWavePage);
  std::cout << "Resuming the run of " << folder << ": " << journal.entries
            << " journal entries.\n";
  if (!KeptRecords(folder, readers, journal, o.kind == RunKind::kDryRun, writer,
                   settings.kept, std::cout)) {
    std::cout << "modflash-fleet: cannot write " << writer.Unwritten()
              << "; nothing was started\n";
    ReleaseRunLock(folder);
    return kNotWritten;
  }
  return RunAndReport(o, argc, argv, settings, readers, writer, plan);
}

int StatusMain(const std::string& folder) {
  Json run;
  std::vector<Reader> readers;
  std::string error;
  if (!ReadRun(folder, run)) return kBadInput;
  if (!PlanReaders(run, readers, error)) {
    std::cout << "modflash-fleet: " << Shown(error) << "\n";
    return kBadInput;
  }
  JournalRead journal;
  if (!ReadJournalOf(folder, readers.size(), journal, false)) return kBadInput;
  const bool finished = Text(run, field::kState) == kStateFinished;
  const bool alive = RunAliveElsewhere(folder);
  std::cout << "Run folder: " << folder << "\nState: "
            << (finished ? "finished"
                : alive  ? "running (process " +
                              std::to_string(LockHolder(folder)) + ")"
                        : "ended early (--resume " + folder + " goes on)")
            << "\n";
  PrintHolds(folder, journal, !finished && alive);
  std::vector<Json> ended;
  std::vector<size_t> inFlight;
  for (size_t i = 0; i < readers.size(); ++i) {
    const ReaderTrace& t = journal.readers[i];
    if (t.ended) ended.push_back(t.record);
    if (t.started && !t.ended) inFlight.push_back(i);
  }
  std::cout << "Readers: " << readers.size() << ", ended " << ended.size()
            << ", in flight " << inFlight.size() << ", not started "
            << readers.size() - ended.size() - inFlight.size() << "\n";
  const Json counts =
      CountOutcomes(Text(run[field::kPlan], field::kKind), ended);
  std::cout << "Counts:";
  for (const auto& c : counts.items()) {
    std::cout << " " << Shown(c.key()) << " " << c.value().dump() << ";";
  }
  std::cout << "\n";
  for (size_t i : inFlight) {
    const ReaderTrace& t = journal.readers[i];
    std::string transcript;
    ProgressTracker tracker;
    if (t.logFile.find_first_of("/\\") == std::string::npos &&
        ReadRunFile(folder, t.logFile, 16u << 20, transcript, error)) {
      tracker.Consume(transcript);
    }
    std::cout << "  " << Shown(readers[i].name) << "  "
              << (t.step == kStepUpdate ? tracker.Phase() : "reading version")
              << " " << tracker.Percent() << "%  since " << Shown(t.startTime)
              << "\n";
  }
  return finished ? kAllSucceeded : kNotFinished;
}

int HoldMain(const std::string& folder, bool pause) {
  Json run;
  if (!ReadRun(folder, run)) return kBadInput;
  const fs::path file = fs::path(folder) / kPauseFile;
  std::error_code ec;
  const bool paused = fs::exists(fs::symlink_status(file, ec));
  if (!pause) {
    if (!paused) {
      std::cout << "The run of " << folder << " is not paused.\n";
      return kAllSucceeded;
    }
    if (!fs::remove(file, ec) && ec) {
      std::cout << "modflash-fleet: cannot remove " << file.string() << "\n";
      return kNotWritten;
    }
    std::cout << "Continued the run of " << folder
              << ": updates start again once it sees this (within a "
                 "second).\n";
    return kAllSucceeded;
  }
  if (Text(run, "state") == kStateFinished || !RunAliveElsewhere(folder)) {
    std::cout << "modflash-fleet: the run of " << folder
              << " is not running; nothing to pause (--status " << folder
              << ")\n";
    return kBadInput;
  }
  if (!paused && !ReplaceDurably(file.string(), std::string(kByPause) + "\n")) {
    std::cout << "modflash-fleet: cannot write " << file.string() << "\n";
    return kNotWritten;
  }
  std::cout << "Paused the run of " << folder
            << ": no new update starts once it sees this (within a second); "
               "running ones finish. --continue "
            << folder << " goes on.\n";
  return kAllSucceeded;
}

}  // namespace modflash::fleet
