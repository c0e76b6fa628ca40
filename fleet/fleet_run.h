#ifndef MODFLASH_FLEET_FLEET_RUN_H_
#define MODFLASH_FLEET_FLEET_RUN_H_

#include <string>
#include <vector>

#include "fleet/display.h"
#include "fleet/inventory.h"
#include "fleet/report.h"

namespace modflash::fleet {

/// How a fleet run goes about its readers.
struct FleetSettings {
  bool dryRun = false;
  std::string image;     ///< handed to modflash as given
  std::string modflash;  ///< the programmer to run for each reader
  int jobs = 16;         ///< updates at once
  int canary = 0;        ///< readers that must succeed before the rest
  int maxFailures = 0;   ///< stop starting after this many; 0: never
  std::string folder;    ///< the run folder, which must exist
};

/// Runs modflash once per reader, at most `jobs` at a time, writing each
/// transcript and exit status into the run folder as it goes. Returns one
/// record per reader, in inventory order. Stops starting new updates after
/// a failed canary, `maxFailures` failures or an interruption; a second
/// interruption ends the running updates.
std::vector<ReaderRecord> RunFleet(const FleetSettings& settings,
                                   const std::vector<Reader>& readers,
                                   Display& display);

/// The record of a finished update: outcome, exit status and the facts of
/// its transcript.
void JudgeRun(const std::string& transcript, bool exited, int status,
              bool dryRun, ReaderRecord& record);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_FLEET_RUN_H_
