#include "fleet/fleet_main.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "fleet/console.h"
#include "fleet/display.h"
#include "fleet/fleet_run.h"
#include "fleet/html_report.h"
#include "fleet/inventory.h"
#include "fleet/merge.h"
#include "fleet/report.h"
#include "image/code_file.h"
#include "process/child_process.h"

namespace modflash::fleet {
namespace {

namespace fs = std::filesystem;

struct Options {
  bool dryRun = false;
  bool program = false;
  std::string image;
  std::string inventory;
  int jobs = 16;
  bool plain = false;
  int canary = 0;
  int maxFailures = 0;
  std::string out;
  std::string modflash;
  std::string site;
};

std::string DefaultFolder() {
  const std::tm local = LocalTime(std::time(nullptr));
  char name[64];
  std::strftime(name, sizeof name, "modflash-fleet-%Y%m%d-%H%M%S", &local);
  return name;
}

// Parses the command line; -1 to go on, otherwise the exit status.
int ParseOptions(int argc, char** argv, Options& o) {
  CLI::App app{
      "Updates the RF module firmware of many readers at once: runs modflash "
      "once per reader of INVENTORY and reports each one.",
      "modflash-fleet"};
  auto* dry = app.add_flag("--dryrun", o.dryRun,
                           "Dry runs: the module is not programmed");
  auto* program = app.add_flag("--program", o.program, "Program every module");
  dry->excludes(program);
  app.add_option("IMAGE", o.image, "Firmware image file")->required();
  app.add_option("INVENTORY", o.inventory,
                 "Readers, one a line: address[:port] [name]")
      ->required();
  app.add_option("-j,--jobs", o.jobs, "Updates at once (default 16)")
      ->check(CLI::Range(1, 256));
  app.add_flag("--plain", o.plain,
               "One plain line per event, even on a terminal (no live "
               "display)");
  app.add_option("--canary", o.canary,
                 "Update the first K readers first; start the rest only if "
                 "all K succeeded")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--max-failures", o.maxFailures,
                 "Start no further update once M have failed (0: never stop)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--out", o.out,
                 "Run folder for logs and report (default "
                 "modflash-fleet-YYYYMMDD-HHMMSS)");
  app.add_option("--modflash", o.modflash,
                 "The modflash program to run (default: the one beside this "
                 "program)");
  app.add_option("--site", o.site,
                 "Site name, recorded in run.json and in every record (for "
                 "--merge)");
  app.set_version_flag("--version", "modflash-fleet " MODFLASH_VERSION,
                       "Print the version and exit");
  app.footer(
      "Exit status: 0 when every reader succeeded, 1 when any failed or was "
      "not started, 2 for a usage, inventory or image error.\n\n"
      "modflash-fleet --merge OUT_FOLDER RUN_FOLDER... puts the reports of "
      "run folders together into one.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "modflash-fleet: " << e.what()
              << "\nRun modflash-fleet --help for the options.\n";
    return kBadInput;
  }
  if (o.dryRun == o.program) {
    std::cerr << "modflash-fleet: give --dryrun or --program\n"
                 "Run modflash-fleet --help for the options.\n";
    return kBadInput;
  }
  return -1;
}

bool CheckInventory(const std::string& path, std::vector<Reader>& readers) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cout << "modflash-fleet: cannot read the inventory " << path << "\n";
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(in)),
                         std::istreambuf_iterator<char>());
  std::vector<InventoryError> errors;
  readers = ParseInventory(text, errors);
  for (const InventoryError& e : errors) {
    std::cout << path << ":" << e.line << ": " << e.message << "\n";
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
  return true;
}

bool CheckImage(const std::string& path, std::string& version) {
  std::vector<uint8_t> code(kCodeSize);
  FirmwareVersion read;
  if (!ReadCodeFile(path, code.data(), code.size(), read.major, read.minor,
                    read.patch)) {
    std::cout << "modflash-fleet: the image " << path
              << " is not usable; nothing was started\n";
    return false;
  }
  version = VersionText(read);
  return true;
}

// The settings of the run from the options: the programmer to run and a
// new, empty run folder. False (with the reason printed) when either is
// missing.
bool PrepareRun(const Options& o, const char* argv0, FleetSettings& settings) {
  settings.dryRun = o.dryRun;
  settings.image = o.image;
  settings.jobs = o.jobs;
  settings.canary = o.canary;
  settings.maxFailures = o.maxFailures;
  settings.modflash = !o.modflash.empty()
                          ? o.modflash
                          : process::OwnDirectory(argv0) + "/" +
                                process::ProgramFileName("modflash");
  std::error_code ec;
  if (!fs::is_regular_file(settings.modflash, ec)) {
    std::cout << "modflash-fleet: no modflash program at " << settings.modflash
              << " (give one with --modflash PATH)\n";
    return false;
  }
  settings.folder = o.out.empty() ? DefaultFolder() : o.out;
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

// What run.json tells of this run, but its times.
RunDescription Describe(const Options& o, int argc, char** argv,
                        const std::string& version) {
  RunDescription run;
  run.kind = o.dryRun ? "dryrun" : "program";
  run.commandLine.assign(argv, argv + argc);
  run.imageFile = o.image;
  run.imageVersion = version;
  run.site = o.site;
  run.modflashBeside = o.modflash.empty();
  return run;
}

}  // namespace

int FleetMain(int argc, char** argv) {
  if (IsMergeCommand(argc, argv)) return MergeMain(argc, argv);
  Options o;
  const int parsed = ParseOptions(argc, argv, o);
  if (parsed >= 0) return parsed;

  // Everything is checked before anything starts.
  std::vector<Reader> readers;
  const bool inventoryOk = CheckInventory(o.inventory, readers);
  std::string version;
  const bool imageOk = CheckImage(o.image, version);
  if (!inventoryOk || !imageOk) return kBadInput;
  FleetSettings settings;
  if (!PrepareRun(o, argc > 0 ? argv[0] : nullptr, settings)) return kBadInput;

  std::cout << "modflash-fleet: " << (o.dryRun ? "dry run" : "programming")
            << " of " << readers.size() << " reader(s) with " << o.image << " ("
            << version << "), up to " << o.jobs << " at a time";
  if (o.canary > 0) std::cout << ", canary " << o.canary;
  if (o.maxFailures > 0)
    std::cout << ", stop after " << o.maxFailures << " failure(s)";
  std::cout << "\nRun folder: " << settings.folder << "\n" << std::flush;

  InstallInterruptHandler();
  Display display(std::cout, !o.plain && PrepareTerminal(), o.jobs);
  RunDescription run = Describe(o, argc, argv, version);
  run.startTime = LocalTimeNow();
  std::vector<ReaderRecord> records = RunFleet(settings, readers, display);
  run.endTime = LocalTimeNow();
  for (ReaderRecord& r : records) r.site = o.site;
  std::string error;
  // run.json and report.html come from the report just written.
  const bool written = WriteReport(settings.folder, records, error) &&
                       WriteRunSummary(settings.folder, run, error);
  display.Summary(records, settings.folder + "/report.csv");
  if (!written) std::cout << "modflash-fleet: " << error << "\n" << std::flush;
  if (written) std::cout << "Page: " << settings.folder << "/report.html\n";

  for (const ReaderRecord& r : records) {
    if (r.outcome != Outcome::kUpdated && r.outcome != Outcome::kDryRunOk) {
      return kSomeNotUpdated;
    }
  }
  return written ? kAllSucceeded : kSomeNotUpdated;
}

}  // namespace modflash::fleet
