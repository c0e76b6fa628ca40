// The lines that open a run and what --check shows: the plan in words.

#include <cstdio>
#include <iostream>

#include "fleet/cli/run_steps.h"
#include "fleet/console/lines.h"
#include "fleet/plan/waves.h"
#include "fleet/plan/window.h"
#include "fleet/text/text.h"

namespace modflash::fleet {
namespace {

const char* KindWords(const Options& o) {
  switch (o.kind) {
    case RunKind::kAudit:
      return "audit";
    case RunKind::kDryRun:
      return "dry run";
    case RunKind::kProgram:
      break;
  }
  return "programming";
}

// The plan's fields after "modflash-fleet: KIND of N reader(s)"; the
// list of waves as short as `width` needs (0: whole).
std::vector<std::string> PlanFields(const Options& o,
                                    const FleetSettings& settings,
                                    size_t width) {
  std::vector<std::string> fields;
  fields.push_back("up to " + std::to_string(o.jobs) + " at a time");
  if (settings.waves.size() > 1) {
    std::vector<std::string> waves;
    for (const size_t w : settings.waves) waves.push_back(std::to_string(w));
    const size_t room = width > 10 ? width - 10 : 0;  // "  waves " and ","
    fields.push_back("waves " + ShortList(waves, width > 0 ? room : 0));
  }
  if (settings.canary) {
    fields.push_back("canary " + std::to_string(settings.waves[0]));
  }
  if (o.maxFailures > 0) {
    fields.push_back("stop after " + std::to_string(o.maxFailures) +
                     " failure(s)");
  }
  if (o.maxFailureRate >= 0) {
    char rate[32];
    std::snprintf(rate, sizeof rate, "%g%%", o.maxFailureRate);
    fields.push_back(std::string("stop above ") + rate + " failed (once " +
                     std::to_string(o.minFinished) + " have finished)");
  }
  if (o.force) fields.push_back("current modules too");
  if (o.allowOlder) fields.push_back("newer modules too");
  for (const std::string& glob : o.only)
    fields.push_back("only " + Shown(glob));
  for (const std::string& glob : o.skip)
    fields.push_back("skip " + Shown(glob));
  return fields;
}

}  // namespace

// What the run does, as its first lines say (and as --check shows it),
// each line fitted to the terminal; a path or a checksum is never cut.
void PrintPlan(const Options& o, const FleetSettings& settings,
               size_t readers) {
  const size_t width = ConsoleWidth();
  std::string kind = std::string("modflash-fleet: ") + KindWords(o) + " of " +
                     std::to_string(readers) + " reader(s)";
  if (!o.retry.empty()) kind += " (retry of " + o.retry + ")";
  std::vector<std::string> fields = PlanFields(o, settings, width);
  fields.insert(fields.begin(), kind);
  std::cout << Joined(FitFields(fields, ", ", width));
  if (!o.image.empty()) {
    std::cout << Joined(
        FitFields({"Image:", o.image, "(" + settings.imageVersion + ",",
                   "SHA-256 " + settings.imageSha256 + ")"},
                  " ", width));
  }
  if (!settings.windows.empty()) {
    std::cout << Joined(WrapWords(
        "Maintenance windows: " + WindowList(settings.windows) +
            " (local time; " + WindowState(settings.windows, WindowClockNow()) +
            (settings.stopAtWindowEnd ? "; the run stops when none is open"
                                      : "") +
            ")",
        width, "  "));
  }
}

// --check: the readers, one a line, and the programs that would run.
void PrintCheck(const Options& o, const FleetSettings& settings,
                const std::vector<Reader>& readers,
                const std::string& warning) {
  PrintPlan(o, settings, readers.size());
  size_t wave = 0;
  size_t waveEnd = 0;
  for (size_t i = 0; i < readers.size(); ++i) {
    if (i == waveEnd) waveEnd += settings.waves[wave++];
    const Reader& r = readers[i];
    std::cout << "  " << i + 1 << "  " << Shown(r.name) << "  " << Shown(r.host)
              << ":" << r.port;
    if (r.host != r.address) std::cout << " (" << r.address << ")";
    if (settings.waves.size() > 1) std::cout << "  wave " << wave;
    std::cout << "\n";
  }
  if (!warning.empty()) std::cout << warning << "\n";
  std::cout << (o.kind == RunKind::kAudit
                    ? "Reads with: " + settings.auditProgram
                    : "Runs: " + settings.modflash)
            << "\nChecked: nothing was started.\n";
}

}  // namespace modflash::fleet
