#include "fleet/cli/options.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <iostream>

#include "fleet/cli/exit_status.h"
#include "fleet/run/hold.h"

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
  std::string approveAfter;
  std::string approveTimeout;
};

// A whole number from `least` to `most`, digits only: otherwise the usage
// error "--OPTION: TEXT is not WHAT" (CLI11 puts the option's name first).
CLI::Validator Count(long least, long most, const std::string& what,
                     const std::string& shown) {
  return CLI::Validator(
      [least, most, what](std::string& text) -> std::string {
        const bool digits =
            !text.empty() && text.size() <= 9 &&
            text.find_first_not_of("0123456789") == std::string::npos;
        const long n = digits ? std::strtol(text.c_str(), nullptr, 10) : -1;
        if (digits && n >= least && n <= most) return "";
        return text + " is not " + what;
      },
      shown);
}

// The controls of a rollout: which readers, which modules, when the
// failure rate applies.
void AddRolloutOptions(CLI::App& app, Options& o, Given& given) {
  app.add_option("--min-finished", o.minFinished,
                 "--max-failure-rate applies once N updates have finished "
                 "(default 5)")
      ->check(Count(1, 1000000, "a count from 1 to 1000000",
                    "INT in [1 - 1000000]"))
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

// When updates may start: maintenance windows, approvals, a pause.
void AddControlOptions(CLI::App& app, Options& o, Given& given) {
  app.add_option("--window", given.windows,
                 "Start updates only within this local time range, e.g. "
                 "22:00-05:30 or \"Sat,Sun 00:00-24:00\" (repeatable); "
                 "running ones finish when it closes");
  app.add_option("--window-end", given.windowEnd,
                 "When no window is open: wait for the next (wait, the "
                 "default) or stop the run (stop; --resume goes on later)");
  app.add_option("--approve-after", given.approveAfter,
                 "After these waves (e.g. 1 or 1,3) wait for a continue "
                 "(--continue FOLDER) before the next starts");
  app.add_option("--approve-timeout", given.approveTimeout,
                 "How long to wait for an approval, then stop (30m, 2h, "
                 "or 30m,continue to go on without it)");
  app.add_option("--pause", o.pause,
                 "Pause the run of this run folder: no new update starts, "
                 "running ones finish; then exit (on the run's own "
                 "terminal: the key p)");
  app.add_option("--continue", o.continued,
                 "Continue the paused run of this run folder (or approve "
                 "the next wave); then exit (on the run's own terminal: the "
                 "key c)");
}

// The waves and the limits on failures.
void AddLimitOptions(CLI::App& app, Options& o, Given& given) {
  app.add_option("--waves", given.waves,
                 "Wave sizes, counts or shares of the inventory, e.g. "
                 "1,5,10%,25%; the last repeats");
  app.add_option("--canary", o.canary,
                 "Update the first K readers first; start the rest only if "
                 "all K succeeded (--waves K,100%)")
      ->check(Count(1, 1000000, "a count from 1 to 1000000",
                    "INT in [1 - 1000000]"));
  app.add_option("--max-failures", o.maxFailures,
                 "Start no further update once N have failed (0: never stop)")
      ->check(Count(0, 1000000, "a count (0 or more, at most 1000000)",
                    "NONNEGATIVE"));
  app.add_option("--max-failure-rate", given.failureRate,
                 "Start no further update once more than P% of the finished "
                 "ones failed (once --min-finished have finished)");
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
      ->check(Count(1, 4096, "a count from 1 to 4096", "INT in [1 - 4096]"));
  app.add_flag("--plain", o.plain,
               "One plain line per event, even on a terminal (no live "
               "display)");
  AddLimitOptions(app, o, given);
  AddRolloutOptions(app, o, given);
  app.add_flag("--force", o.force,
               "Update modules that already run the image's version too (not "
               "newer ones: see --allow-older)");
  app.add_flag("--check", o.check,
               "Check the inventory and image, show what would run, start "
               "nothing");
  app.add_option("--last-audit", o.lastAudit,
                 "With --check: warn of the readers that this earlier "
                 "--audit run folder saw at a newer version than the image");
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
  AddControlOptions(app, o, given);
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

// --approve-after and --approve-timeout; "" or what is wrong.
std::string TakeApprovals(const Given& given, Options& o) {
  if (given.approveAfter.empty() && given.approveTimeout.empty()) return "";
  if (o.audit) return "--approve-after is for updates, not for --audit";
  if (given.approveAfter.empty()) {
    return "--approve-timeout goes with --approve-after";
  }
  size_t from = 0;
  while (from <= given.approveAfter.size()) {
    size_t comma = given.approveAfter.find(',', from);
    if (comma == std::string::npos) comma = given.approveAfter.size();
    const std::string item = given.approveAfter.substr(from, comma - from);
    if (item.empty() || item.size() > 4 ||
        item.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(item) == 0) {
      return "--approve-after takes wave numbers from 1, e.g. 1 or 1,3";
    }
    o.approveAfter.push_back(std::stoul(item));
    from = comma + 1;
  }
  std::string duration = given.approveTimeout;
  const size_t comma = duration.find(',');
  if (comma != std::string::npos) {
    const std::string then = duration.substr(comma + 1);
    if (then != "stop" && then != "continue") {
      return "--approve-timeout DURATION[,stop|,continue], not \"" +
             given.approveTimeout + "\"";
    }
    o.stopWithoutApproval = then == "stop";
    duration = duration.substr(0, comma);
  }
  if (!duration.empty() && !ParseDuration(duration, o.approveTimeout)) {
    return "--approve-timeout takes a duration such as 90s, 30m or 2h (at "
           "most a week)";
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
  if (!o.lastAudit.empty() && (o.audit || !o.check)) {
    return "--last-audit goes with --check of --dryrun or --program";
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
  error = TakeWindows(given, o);
  return error.empty() ? TakeApprovals(given, o) : error;
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
      o.force || o.check || !o.lastAudit.empty() || !o.out.empty() ||
      !o.site.empty() || !given.windows.empty() || !given.windowEnd.empty() ||
      !given.approveAfter.empty() || !given.approveTimeout.empty();
  const int commands = !o.resume.empty() + !o.status.empty() +
                       !o.pause.empty() + !o.continued.empty();
  if (commands > 1) {
    return UsageError("give one of --resume, --status, --pause and --continue");
  }
  const bool alone = o.resume.empty();
  if (others || (alone && (o.plain || !o.modflash.empty()))) {
    return UsageError(!o.resume.empty()
                          ? "--resume FOLDER takes its plan from the folder; "
                            "only --plain and --modflash go with it"
                          : "--status, --pause and --continue FOLDER take no "
                            "other option");
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
      "modflash-fleet --status FOLDER\n"
      "modflash-fleet {--pause|--continue} FOLDER\n\n"
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
  if (!o.resume.empty() || !o.status.empty() || !o.pause.empty() ||
      !o.continued.empty())
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
