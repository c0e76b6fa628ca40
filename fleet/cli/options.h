#ifndef MODFLASH_FLEET_OPTIONS_H_
#define MODFLASH_FLEET_OPTIONS_H_

#include <chrono>
#include <string>
#include <vector>

#include "fleet/plan/waves.h"
#include "fleet/plan/window.h"
#include "fleet/report/record.h"

namespace modflash::fleet {

/// modflash-fleet's command line, checked.
struct Options {
  bool dryRun = false;
  bool program = false;
  bool audit = false;
  /// The one of the three that was given.
  RunKind kind = RunKind::kProgram;
  bool check = false;  ///< --check: validate and show, start nothing
  /// --last-audit: an earlier audit's run folder, whose versions --check
  /// compares with the image's.
  std::string lastAudit;
  bool force = false;       ///< --force: update current modules too
  bool allowOlder = false;  ///< --allow-older: update newer modules too
  bool version = false;     ///< --version
  std::string image;        ///< empty for an audit without --image
  std::string inventory;    ///< empty with --retry
  std::string retry;        ///< --retry's run folder
  int jobs = 16;
  bool plain = false;  ///< plain event lines even on a terminal
  int canary = 0;
  std::vector<WaveSize> waves;  ///< --waves (or --canary K: K,100%)
  int maxFailures = 0;
  double maxFailureRate = -1;  ///< per cent; below 0: none
  int minFinished = 5;  ///< --min-finished: updates before the rate applies
  std::vector<std::string> only;  ///< --only: readers to take, by glob
  std::vector<std::string> skip;  ///< --skip: readers to leave out
  std::string out;
  std::string modflash;
  std::string site;
  std::string resume;  ///< --resume: the unfinished run folder
  std::string status;  ///< --status: the run folder to tell of
  /// --window: no update starts outside all of them; none: always open.
  std::vector<MaintenanceWindow> windows;
  /// --window-end stop: the run stops when no window is open, instead of
  /// waiting for the next.
  bool stopAtWindowEnd = false;
  std::string pause;      ///< --pause: the run folder to pause
  std::string continued;  ///< --continue: the run folder to go on with
  /// --approve-after and --approve-timeout.
  std::vector<size_t> approveAfter;
  std::chrono::seconds approveTimeout{0};
  bool stopWithoutApproval = true;
};

/// Reads the command line into `o`. -1 to go on, otherwise the exit status
/// (0 after --help, 2 after a usage error, with the reason printed).
int ParseOptions(int argc, char** argv, Options& o);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_OPTIONS_H_
