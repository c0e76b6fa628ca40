#include "fleet/cli/fleet_main.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fleet/cli/merge_command.h"
#include "fleet/cli/options.h"
#include "fleet/cli/run_steps.h"
#include "fleet/console/display.h"
#include "fleet/console/lines.h"
#include "fleet/console/summary.h"
#include "fleet/html/html_report.h"
#include "fleet/plan/inventory.h"
#include "fleet/plan/retry.h"
#include "fleet/plan/select.h"
#include "fleet/report/report.h"
#include "fleet/run/fleet_run.h"
#include "fleet/system/keys.h"
#include "fleet/system/terminal.h"
#include "fleet/transcript/judgement.h"
#include "image/code_file.h"
#include "image/regular_file.h"
#include "image/sha256.h"
#include "platform/descriptor_limit.h"
#include "process/child_process.h"

#ifndef MODFLASH_VERSION
#error "the build defines MODFLASH_VERSION"
#endif

namespace modflash::fleet {
namespace {

namespace fs = std::filesystem;

// modflash-fleet-YYYYMMDD-HHMMSS of the local time now.
std::string DefaultFolder() {
  const std::tm local = LocalTime(std::time(nullptr));
  char name[64];
  std::strftime(name, sizeof name, "modflash-fleet-%Y%m%d-%H%M%S", &local);
  return name;
}

std::string Beside(const char* argv0, const std::string& program) {
  return process::OwnDirectory(argv0) + "/" + process::ProgramFileName(program);
}

// modflash prints no version of its own, and its output must stay as it
// is; the one beside this program comes from the same build and package.
void PrintVersion(const Options& o, const char* argv0) {
  std::cout << "modflash-fleet " MODFLASH_VERSION "\n";
  if (o.modflash.empty()) {
    std::cout << "modflash " MODFLASH_VERSION " (built with this program: "
              << Beside(argv0, "modflash") << ")\n";
  } else {
    std::cout << "modflash: " << o.modflash
              << " (given with --modflash; its version is not known)\n";
  }
}

// Reads and checks the inventory file; false (with every reason printed)
// when it cannot be used.
bool CheckInventory(const std::string& path, std::vector<Reader>& readers) {
  std::string text;
  std::string error;
  if (!ReadInventoryFile(path, text, error)) {
    std::cout << "modflash-fleet: " << error << "\n";
    return false;
  }
  std::vector<InventoryError> errors;
  readers = ParseInventory(text, errors);
  for (const InventoryError& e : errors) {
    std::cout << path << ":" << e.line << ": " << Shown(e.message) << "\n";
  }
  if (!errors.empty()) {
    std::cout << "modflash-fleet: " << errors.size() << " error(s) in the "
              << "inventory " << path << "; nothing was started\n";
    return false;
  }
  if (readers.empty()) {
    std::cout << "modflash-fleet: the inventory " << path
              << " lists no readers\n";
    return false;
  }
  for (const Reader& r : readers) {
    if (!r.note.empty()) {
      std::cout << path << ":" << r.line << ": note: " << r.note << "\n";
    }
  }
  return true;
}

// The readers of the inventory or of the run retried; false (with the
// reason printed) when there are none to take. A retry keeps the run's
// --site unless given another.
bool LoadReaders(Options& o, std::vector<Reader>& readers) {
  if (o.retry.empty()) return CheckInventory(o.inventory, readers);
  std::string error;
  RetryList list;
  if (!RetryReaders(o.retry, o.kind == RunKind::kAudit, ResolveHost, list,
                    error)) {
    std::cout << "modflash-fleet: cannot retry: " << Shown(error)
              << "; nothing was started\n";
    return false;
  }
  for (const Reader& r : list.readers) {
    if (r.note.empty()) continue;
    std::cout << o.retry << "/report.jsonl: record " << r.line
              << ": note: " << Shown(r.note) << "\n";
  }
  if (o.site.empty()) o.site = list.site;
  readers = std::move(list.readers);
  return true;
}

// --only and --skip: the readers selected; false (with the reason printed)
// when they leave none of an inventory.
bool Select(const Options& o, std::vector<Reader>& readers) {
  if (o.only.empty() && o.skip.empty()) return true;
  const size_t given = readers.size();
  readers = SelectReaders(readers, o.only, o.skip);
  if (!readers.empty() || !o.retry.empty()) return true;
  std::cout << "modflash-fleet: --only and --skip select none of the " << given
            << " reader(s) of " << o.inventory << "; nothing was started\n";
  return false;
}

}  // namespace

bool CheckImage(const std::string& path, ImageFacts& image) {
  std::vector<uint8_t> code(kCodeSize);
  FirmwareVersion read;
  if (!ReadCodeFile(path, code.data(), code.size(), read.major, read.minor,
                    read.patch)) {
    std::cout << "modflash-fleet: the image " << path
              << " is not usable; nothing was started\n";
    return false;
  }
  image.version = VersionText(read);
  // The file is exactly the code area, so this is the file's checksum.
  image.sha256 = Sha256Hex(code.data(), code.size());
  return true;
}

// The programs the run needs, beside this one unless given.
bool FindPrograms(const Options& o, const char* argv0,
                  FleetSettings& settings) {
  settings.modflash =
      !o.modflash.empty() ? o.modflash : Beside(argv0, "modflash");
  settings.auditProgram = Beside(argv0, "modflash-audit");
  std::error_code ec;
  const bool audit = o.kind == RunKind::kAudit;
  if (!audit && !fs::is_regular_file(settings.modflash, ec)) {
    std::cout << "modflash-fleet: no modflash program at " << settings.modflash
              << " (give one with --modflash PATH)\n";
    return false;
  }
  const bool reads =
      audit || (o.kind == RunKind::kProgram && !(o.force && o.allowOlder));
  if (reads && !fs::is_regular_file(settings.auditProgram, ec)) {
    std::cout << "modflash-fleet: no modflash-audit program at "
              << settings.auditProgram << " (it is installed beside "
              << "modflash-fleet)\n";
    return false;
  }
  return true;
}

void Configure(const Options& o, const ImageFacts& image, size_t readers,
               FleetSettings& settings) {
  settings.kind = o.kind;
  settings.image = o.image;
  settings.imageVersion = image.version;
  settings.imageSha256 = image.sha256;
  settings.force = o.force;
  settings.allowOlder = o.allowOlder;
  settings.minFinished = o.minFinished;
  settings.jobs = o.jobs;
  settings.waves = WavePlan(o.waves, readers);
  settings.canary = o.canary > 0;
  settings.maxFailures = o.maxFailures;
  settings.maxFailureRate = o.maxFailureRate;
  settings.windows = o.windows;
  settings.stopAtWindowEnd = o.stopAtWindowEnd;
  settings.hold.approveAfter = o.approveAfter;
  settings.hold.approveTimeout = o.approveTimeout;
  settings.hold.stopWithoutApproval = o.stopWithoutApproval;
}

std::string NewRunFolder(const std::string& stem, std::string& error) {
  for (int n = 1; n <= kMostRunFolders; ++n) {
    const std::string name = n == 1 ? stem : stem + "-" + std::to_string(n);
    std::error_code ec;
    // mkdir either makes it for this process or fails: no two take one.
    if (fs::create_directory(name, ec)) return name;
    std::error_code ignored;
    if (!fs::exists(name, ignored)) {
      error = "cannot make the run folder " + name + ": " + ec.message();
      return "";
    }
  }
  error = "the run folders " + stem + " to " + stem + "-" +
          std::to_string(kMostRunFolders) + " are all taken";
  return "";
}

namespace {

// A new, empty run folder; false (with the reason printed) when there is
// none to be had.
bool MakeRunFolder(const Options& o, FleetSettings& settings) {
  std::error_code ec;
  if (o.out.empty()) {
    std::string error;
    settings.folder = NewRunFolder(DefaultFolder(), error);
    if (settings.folder.empty()) {
      std::cout << "modflash-fleet: " << error << "\n";
      return false;
    }
    return true;
  }
  settings.folder = o.out;
  if (fs::exists(settings.folder, ec) && !fs::is_empty(settings.folder, ec)) {
    std::cout << "modflash-fleet: the run folder " << settings.folder
              << " is not empty\n";
    return false;
  }
  fs::create_directories(settings.folder, ec);
  if (!fs::is_directory(settings.folder, ec)) {
    std::cout << "modflash-fleet: cannot make the run folder "
              << settings.folder << "\n";
    return false;
  }
  return true;
}

RunDescription Describe(const Options& o, int argc, char** argv,
                        const FleetSettings& settings) {
  RunDescription run;
  run.kind = RunKindName(o.kind);
  run.commandLine.assign(argv, argv + argc);
  run.imageFile = o.image;
  run.imageVersion = settings.imageVersion;
  run.imageSha256 = settings.imageSha256;
  run.site = o.site;
  run.retryOf = o.retry;
  run.modflashBeside = o.modflash.empty();
  return run;
}

// The summary's order: the readers that succeeded, those never started,
// and the failures last, each in inventory order.
std::vector<ReaderRecord> FailuresLast(std::vector<ReaderRecord> records) {
  const auto rank = [](const ReaderRecord& r) {
    return Succeeded(r.outcome) ? 0 : r.outcome == Outcome::kNotStarted ? 1 : 2;
  };
  std::stable_sort(records.begin(), records.end(),
                   [&](const ReaderRecord& a, const ReaderRecord& b) {
                     return rank(a) < rank(b);
                   });
  return records;
}

// Runs the fleet with the terminal's keys, whose settings are restored
// before the summary.
FleetResult RunWithKeys(FleetSettings settings,
                        const std::vector<Reader>& readers, Display& display) {
  const std::unique_ptr<KeySource> keys = OpenConsoleKeys();
  settings.keys = keys.get();
  // A header line: the live lines and their notes start below it.
  if (keys) std::cout << Joined(WrapWords(kKeysLine, ConsoleWidth(), "  "));
  return RunFleet(settings, readers, display);
}

// The summary's last lines: why the run ended early, then where to read
// it all (Report: and Page: together, last).
void PrintEnd(const std::string& stopped, const std::string& error,
              const std::string& folder, size_t width) {
  if (!stopped.empty()) {
    std::cout << Joined(WrapWords("Stopped: " + stopped, width, "  "));
  }
  if (!error.empty()) std::cout << "modflash-fleet: " << error << "\n";
  std::cout << Joined(
      FitFields({"Report:", folder + "/report.csv"}, " ", width));
  if (error.empty()) {
    std::cout << Joined(
        FitFields({"Page:", folder + "/report.html"}, " ", width));
  }
  std::cout << std::flush;
}

}  // namespace

int RunAndReport(const Options& o, int argc, char** argv,
                 FleetSettings settings, const std::vector<Reader>& readers,
                 Journal& journal, const Json& plan) {
  PrintPlan(o, settings, readers.size());
  std::cout << Joined(FitFields({"Run folder:", settings.folder}, " ",
                                ConsoleWidth()))
            << std::flush;
  RunDescription run = Describe(o, argc, argv, settings);
  run.startTime = LocalTimeNow();
  run.holds = settings.hold.earlier;
  // The plan is on the disk before the first reader starts.
  if (!WriteRunJson(settings.folder, RunInfo(run, {}), kStateRunning, plan)) {
    std::cout << "modflash-fleet: cannot write " << settings.folder
              << "/run.json; nothing was started\n";
    ReleaseRunLock(settings.folder);
    return kNotWritten;
  }
  InstallInterruptHandler();
  Display display(std::cout, !o.plain && PrepareTerminal(), settings.jobs,
                  ConsoleWidth());
  settings.observer = &journal;
  FleetResult result = RunWithKeys(settings, readers, display);
  run.endTime = LocalTimeNow();
  run.holds = result.holds;
  // A run in one wave has none to tell.
  if (settings.waves.size() > 1) run.waves = result.waves;
  run.stopped = result.stopped;
  for (ReaderRecord& r : result.records) r.site = o.site;
  std::string error;
  const bool written =
      WriteReport(settings.folder, result.records, error) &&
      WriteRunSummary(settings.folder, run, result.records, error) &&
      FinishRunJson(settings.folder, plan, error);
  ReleaseRunLock(settings.folder);
  if (o.kind == RunKind::kAudit) {
    AuditSummary(std::cout, result.records, settings.imageVersion,
                 display.Width());
  } else {
    display.Summary(FailuresLast(result.records), o.kind);
  }
  PrintEnd(result.stopped, written ? "" : error, settings.folder,
           display.Width());
  const bool allWell =
      std::all_of(result.records.begin(), result.records.end(),
                  [](const ReaderRecord& r) { return Succeeded(r.outcome); });
  if (!written || !result.unwritten.empty()) return kNotWritten;
  return allWell ? kAllSucceeded : kSomeNotUpdated;
}

int FleetMain(int argc, char** argv) {
  if (IsMergeCommand(argc, argv)) return MergeMain(argc, argv);
  Options o;
  const int parsed = ParseOptions(argc, argv, o);
  if (parsed >= 0) return parsed;
  const char* argv0 = argc > 0 ? argv[0] : nullptr;
  if (o.version) {
    PrintVersion(o, argv0);
    return kAllSucceeded;
  }
  if (!o.status.empty()) return StatusMain(o.status);
  if (!o.pause.empty()) return HoldMain(o.pause, true);
  if (!o.continued.empty()) return HoldMain(o.continued, false);
  // Every child takes a descriptor or two for its output: thousands at
  // once need more than a shell's usual soft limit.
  RaiseDescriptorLimit();
  if (!o.resume.empty()) return ResumeMain(o, argc, argv, argv0);

  // Everything is checked before anything starts.
  std::vector<Reader> readers;
  const bool readersOk = LoadReaders(o, readers) && Select(o, readers);
  ImageFacts image;
  const bool imageOk = o.image.empty() || CheckImage(o.image, image);
  if (!readersOk || !imageOk) return kBadInput;
  if (readers.empty()) {
    std::cout << "modflash-fleet: " << o.retry
              << " has no reader to retry; nothing was started\n";
    return kAllSucceeded;
  }
  FleetSettings settings;
  if (!FindPrograms(o, argv0, settings)) return kBadInput;
  Configure(o, image, readers.size(), settings);
  if (o.check) {
    std::string warning;
    if (!o.lastAudit.empty() &&
        !LastAuditWarning(o, settings, readers, warning)) {
      return kBadInput;
    }
    PrintCheck(o, settings, readers, warning);
    return kAllSucceeded;
  }
  if (!MakeRunFolder(o, settings)) return kBadInput;
  std::string error;
  if (!TakeRunLock(settings.folder, error)) {
    std::cout << "modflash-fleet: " << error << "; nothing was started\n";
    return kNotWritten;
  }
  Journal journal(settings.folder, settings.imageSha256, settings.imageVersion,
                  o.site);
  journal.SetPageWriter(WriteWavePage);
  return RunAndReport(o, argc, argv, settings, readers, journal,
                      PlanJson(o, settings, readers));
}

}  // namespace modflash::fleet
