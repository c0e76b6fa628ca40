#include "fleet/cli/options.h"

#include <CLI/CLI.hpp>
#include <iostream>

#include "fleet/cli/exit_status.h"

namespace modflash::fleet {
namespace {

// What the command line gave as text, before it is checked.
struct Given {
  std::vector<std::string> arguments;
  std::string waves;
  std::string failureRate;
  bool minFinished = false;  ///< --min-finished was given
  std::vector<std::string> windows;
  std::string windowEnd;
};

// The controls of a rollout: which readers, which modules, when the
// failure rate applies.
void AddRolloutOptions(CLI::App& app, Options& o, Given& given) {
  app.add_option("--min-finished", o.minFinished,
                 "--max-failure-rate applies once N updates have finished "
                 "(default 5)")
      ->check(CLI::Range(1, 1000000))
      ->each([&given](const std::string&) { given.minFinished = true; });
  app.add_flag("--allow-older", o.allowOlder,
               "--program: update modules that run a newer version than the "
               "image too (a downgrade)");
  app.add_option("--only", o.only,
                 "Take only the readers whose name or host:port matches GLOB "
                 "(* and ?; repeatable)")
      ->allow_extra_args(false);
  app.add_option("--skip", o.skip,
                 "Leave out the readers whose name or host:port matches GLOB "
                 "(* and ?; repeatable)")
      ->allow_extra_args(false);
}

void AddOptions(CLI::App& app, Options& o, Given& given) {
  auto* dry = app.add_flag("--dryrun", o.dryRun,
                           "Dry runs: the modules are not programmed");
  auto* program = app.add_flag("--program", o.program, "Program every module");
  auto* audit = app.add_flag(
      "--audit", o.audit,
      "Read every module's baud rate and firmware version; change nothing");
  dry->excludes(program)->excludes(audit);
  program->excludes(audit);
  app.add_option("ARGUMENTS", given.arguments,
                 "IMAGE INVENTORY (program, dry run) or INVENTORY (audit)");
  app.add_option("--image", o.image,
                 "Audit: compare every module's version with this image's");
  app.add_option("--retry", o.retry,
                 "Take the readers from this run folder: those that failed or "
                 "did not start (of an audit: those that did not answer)");
  app.add_option("-j,--jobs", o.jobs, "Readers at once (default 16)")
      ->check(CLI::Range(1, 1024));
  app.add_flag("--plain", o.plain,
               "One plain line per event, even on a terminal (no live "
               "display)");
  app.add_option("--waves", given.waves,
                 "Wave sizes, counts or shares of the inventory, e.g. "
                 "1,5,10%,25%; the last repeats");
  app.add_option("--canary", o.canary,
                 "Update the first K readers first; start the rest only if "
                 "all K succeeded (--waves K,100%)")
      ->check(CLI::Range(1, 1000000));
  app.add_option("--max-failures", o.maxFailures,
                 "Start no further update once N have failed (0: never stop)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--max-failure-rate", given.failureRate,
                 "Start no further update once more than P% of the finished "
                 "ones failed (once --min-finished have finished)");
  AddRolloutOptions(app, o, given);
  app.add_flag("--force", o.force,
               "Update modules that already run the image's version too (not "
               "newer ones: see --allow-older)");
  app.add_flag("--check", o.check,
               "Check the inventory and image, show what would run, start "
               "nothing");
  app.add_option("--out", o.out,
                 "Run folder for logs and report (default "
                 "modflash-fleet-YYYYMMDD-HHMMSS)");
  app.add_option("--modflash", o.modflash,
                 "The modflash program to run (default: the one beside this "
                 "program)");
  app.add_option("--site", o.site,
                 "Site name, recorded in run.json and in every record (for "
                 "--merge)");
  app.add_option("--resume", o.resume,
                 "Continue the unfinished run of this run folder, with its "
                 "image, readers, waves and limits");
  app.add_option("--status", o.status,
                 "Tell where the run of this run folder stands, and exit");
  app.add_option("--window", given.windows,
                 "Start updates only within this local time range, e.g. "
                 "22:00-05:30 or \"Sat,Sun 00:00-24:00\" (repeatable); "
                 "running ones finish when it closes");
  app.add_option("--window-end", given.windowEnd,
                 "When no window is open: wait for the next (wait, the "
                 "default) or stop the run (stop; --resume goes on later)");
  app.add_flag("--version", o.version,
               "Print this program's version and modflash's, and exit");
}

// The positional arguments of the run kind; "" or what is wrong.
std::string TakeArguments(const std::vector<std::string>& arguments,
                          Options& o) {
  const bool retry = !o.retry.empty();
  const size_t expected = (o.audit ? 1u : 2u) - (retry ? 1u : 0u);
  if (!o.audit && !o.image.empty()) {
    return "--image is for --audit; give the image as the first argument";
  }
  if (arguments.size() != expected) {
    if (o.audit)
      return retry ? "--audit --retry FOLDER takes no INVENTORY"
                   : "--audit takes one INVENTORY";
    return retry ? "give IMAGE and --retry FOLDER (no INVENTORY)"
                 : "give IMAGE and INVENTORY";
  }
  if (!o.audit) o.image = arguments[0];
  if (!retry) o.inventory = arguments.back();
  return "";
}

// The maintenance windows; "" or what is wrong.
std::string TakeWindows(const Given& given, Options& o) {
  if (o.audit && (!given.windows.empty() || !given.windowEnd.empty())) {
    return "--window and --window-end are for updates; an audit changes "
           "nothing";
  }
  if (!given.windowEnd.empty() && given.windowEnd != "wait" &&
      given.windowEnd != "stop") {
    return "--window-end takes wait or stop, not \"" + given.windowEnd + "\"";
  }
  if (!given.windowEnd.empty() && given.windows.empty()) {
    return "--window-end goes with --window";
  }
  o.stopAtWindowEnd = given.windowEnd == "stop";
  for (const std::string& text : given.windows) {
    MaintenanceWindow window;
    std::string error;
    if (!ParseWindow(text, window, error)) {
      return "--window \"" + text + "\": " + error;
    }
    o.windows.push_back(window);
  }
  return "";
}

// The limits that only updates have; "" or what is wrong.
std::string TakeLimits(const Given& given, Options& o) {
  std::string error;
  if (o.audit && (!given.waves.empty() || o.canary > 0 || o.maxFailures > 0 ||
                  !given.failureRate.empty() || given.minFinished || o.force)) {
    return "--waves, --canary, --max-failures, --max-failure-rate, "
           "--min-finished and --force are for updates, not for --audit";
  }
  if (o.allowOlder && !o.program) {
    return "--allow-older is for --program";
  }
  if (!given.waves.empty() && o.canary > 0) {
    return "give --waves or --canary, not both (--canary K is --waves "
           "K,100%)";
  }
  if (!given.waves.empty() && !ParseWaves(given.waves, o.waves, error)) {
    return error;
  }
  if (o.canary > 0)
    o.waves = {{static_cast<double>(o.canary), false}, {100, true}};
  if (!given.failureRate.empty() &&
      !ParseFailureRate(given.failureRate, o.maxFailureRate, error)) {
    return error;
  }
  return TakeWindows(given, o);
}

int UsageError(const std::string& reason) {
  std::cerr << "modflash-fleet: " << reason
            << "\nRun modflash-fleet --help for the options.\n";
  return kBadInput;
}

// --resume FOLDER and --status FOLDER take the rest from the folder: only
// --plain and --modflash go with --resume.
int TakeFolderCommand(const Given& given, const Options& o) {
  const bool others =
      o.dryRun || o.program || o.audit || !o.retry.empty() ||
      !o.image.empty() || !given.arguments.empty() || !given.waves.empty() ||
      o.canary > 0 || o.maxFailures > 0 || !given.failureRate.empty() ||
      given.minFinished || o.allowOlder || !o.only.empty() || !o.skip.empty() ||
      o.force || o.check || !o.out.empty() || !o.site.empty() ||
      !given.windows.empty() || !given.windowEnd.empty();
  if (!o.resume.empty() && !o.status.empty()) {
    return UsageError("give --resume or --status, not both");
  }
  if (others || (!o.status.empty() && (o.plain || !o.modflash.empty()))) {
    return UsageError(!o.resume.empty()
                          ? "--resume FOLDER takes its plan from the folder; "
                            "only --plain and --modflash go with it"
                          : "--status FOLDER takes no other option");
  }
  return -1;
}

}  // namespace

int ParseOptions(int argc, char** argv, Options& o) {
  CLI::App app{
      "Updates the RF module firmware of many readers at once: runs modflash "
      "once per reader of INVENTORY and reports each one. --audit reads "
      "every module's version instead.",
      "modflash-fleet"};
  Given given;
  AddOptions(app, o, given);
  app.footer(
      "modflash-fleet {--dryrun|--program} IMAGE {INVENTORY|--retry FOLDER} "
      "[options]\n"
      "modflash-fleet --audit {INVENTORY|--retry FOLDER} [--image IMAGE] "
      "[options]\n"
      "modflash-fleet --merge OUT_FOLDER RUN_FOLDER...\n"
      "modflash-fleet --resume FOLDER [--plain]\n"
      "modflash-fleet --status FOLDER\n\n"
      "Exit status: 0 when every reader succeeded (or answered), 1 when any "
      "failed, did not answer or was not started, 2 for a usage, inventory "
      "or image error, 3 when a file of the run folder could not be "
      "written; --status: 0 when the run has finished, 4 when not.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return UsageError(e.what());
  }
  if (o.version) return -1;
  if (!o.resume.empty() || !o.status.empty())
    return TakeFolderCommand(given, o);
  if (o.dryRun + o.program + o.audit != 1) {
    return UsageError("give --dryrun, --program or --audit");
  }
  o.kind = o.audit    ? RunKind::kAudit
           : o.dryRun ? RunKind::kDryRun
                      : RunKind::kProgram;
  std::string problem = TakeArguments(given.arguments, o);
  if (problem.empty()) problem = TakeLimits(given, o);
  return problem.empty() ? -1 : UsageError(problem);
}

}  // namespace modflash::fleet
