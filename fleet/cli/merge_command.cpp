#include "fleet/cli/merge_command.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <string>

#include "fleet/cli/exit_status.h"
#include "fleet/merge/merge.h"

namespace modflash::fleet {
namespace {

int ParseMergeRequest(int argc, char** argv, MergeRequest& o) {
  CLI::App app{
      "Puts the reports of several run folders (sites, retries) together "
      "into one report in OUT_FOLDER; for a reader in several runs the "
      "latest record stands and the earlier ones are kept as its attempts.",
      "modflash-fleet --merge"};
  app.add_option("--merge", o.out, "The folder for the merged report")
      ->required();
  app.add_option("--unreachable-site", o.unreachable,
                 "A site whose machine could not be reached (repeatable); "
                 "with =INVENTORY its readers are listed as not-started")
      ->type_name("NAME[=INVENTORY]")
      ->allow_extra_args(false);
  app.add_option("RUN_FOLDER", o.folders, "Run folders to merge");
  try {
    app.parse(argc, argv);
    if (o.folders.empty() && o.unreachable.empty()) {
      throw CLI::RequiredError("RUN_FOLDER");
    }
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "modflash-fleet: " << e.what()
              << "\nRun modflash-fleet --merge OUT --help for the options.\n";
    return kBadInput;
  }
  return -1;
}

}  // namespace

bool IsMergeCommand(int argc, char** argv) {
  // Knows --merge alone: whatever else the line holds, help included, is
  // left to the parser of the command it names.
  CLI::App app;
  app.set_help_flag();
  app.allow_extras();
  app.add_option("--merge")->expected(0, 1);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError&) {
    return true;  // only --merge itself can be wrong here
  }
  return app.count("--merge") > 0;
}

int MergeMain(int argc, char** argv) {
  MergeRequest request;
  const int parsed = ParseMergeRequest(argc, argv, request);
  if (parsed >= 0) return parsed;
  request.commandLine.assign(argv, argv + argc);
  switch (Merge(request)) {
    case MergeResult::kMerged:
      return kAllSucceeded;
    case MergeResult::kRefused:
      return kBadInput;
    case MergeResult::kWriteFailed:
      break;
  }
  return kNotWritten;
}

}  // namespace modflash::fleet
