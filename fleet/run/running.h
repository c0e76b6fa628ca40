#ifndef MODFLASH_FLEET_RUN_RUNNING_H_
#define MODFLASH_FLEET_RUN_RUNNING_H_

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "fleet/report/record.h"
#include "fleet/transcript/phase_log.h"
#include "fleet/transcript/transcript_reader.h"
#include "process/child_process.h"

namespace modflash::fleet {

using SteadyClock = std::chrono::steady_clock;

// What a running child does for its reader.
enum class Step {
  kAudit,        // modflash-audit for an audit
  kVersionRead,  // modflash-audit before an update
  kUpdate        // modflash
};

struct Running {
  size_t index = 0;
  Step step = Step::kUpdate;
  std::unique_ptr<process::ChildProcess> child;  // a new one for each step
  bool killed = false;
  std::string transcript;
  ProgressTracker tracker;
  PhaseLog phases;
  SteadyClock::time_point started;  // the reader's first step
};

/// The step as a journal's start entry names it (kStep...).
const char* StepName(Step step);

/// The command line of the child of `step` for `reader`: the address and
/// port, after the run kind's option and the image for an update.
std::vector<std::string> ChildArguments(Step step, RunKind kind,
                                        const std::string& image,
                                        const Reader& reader);

/// The local time now, "YYYY-MM-DDTHH:MM:SS".
std::string IsoTimeNow();

/// "007-reader-7": the inventory position and the name, kept to characters
/// that every file system takes.
std::string FileStem(size_t index, const std::string& name);

double SecondsSince(SteadyClock::time_point start);

/// A record of a reader that did not start (or whose start was taken
/// back): its module untouched.
void NotStarted(ReaderRecord& record);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_RUN_RUNNING_H_
