// The lines that open a run and what --check shows: the plan in words.

#include <cstdio>
#include <iostream>

#include "fleet/cli/run_steps.h"
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

}  // namespace

// What the run does, as its first lines say (and as --check shows it).
void PrintPlan(const Options& o, const FleetSettings& settings,
               size_t readers) {
  std::cout << "modflash-fleet: " << KindWords(o) << " of " << readers
            << " reader(s)";
  if (!o.retry.empty()) std::cout << " (retry of " << o.retry << ")";
  std::cout << ", up to " << o.jobs << " at a time";
  if (settings.waves.size() > 1) {
    std::cout << ", waves " << WaveList(settings.waves);
  }
  if (settings.canary) std::cout << ", canary " << settings.waves[0];
  if (o.maxFailures > 0) {
    std::cout << ", stop after " << o.maxFailures << " failure(s)";
  }
  if (o.maxFailureRate >= 0) {
    char rate[32];
    std::snprintf(rate, sizeof rate, "%g%%", o.maxFailureRate);
    std::cout << ", stop above " << rate << " failed (once " << o.minFinished
              << " have finished)";
  }
  if (o.force) std::cout << ", current modules too";
  if (o.allowOlder) std::cout << ", newer modules too";
  for (const std::string& glob : o.only) std::cout << ", only " << Shown(glob);
  for (const std::string& glob : o.skip) std::cout << ", skip " << Shown(glob);
  std::cout << "\n";
  if (!o.image.empty()) {
    std::cout << "Image: " << o.image << " (" << settings.imageVersion
              << ", SHA-256 " << settings.imageSha256 << ")\n";
  }
  if (!settings.windows.empty()) {
    std::cout << "Maintenance windows: " << WindowList(settings.windows)
              << " (local time; "
              << WindowState(settings.windows, WindowClockNow())
              << (settings.stopAtWindowEnd ? "; the run stops when none is open"
                                           : "")
              << ")\n";
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
