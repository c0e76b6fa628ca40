#ifndef MODFLASH_FLEET_FLEET_RUN_H_
#define MODFLASH_FLEET_FLEET_RUN_H_

#include <optional>
#include <string>
#include <vector>

#include "fleet/console/display.h"
#include "fleet/plan/inventory.h"
#include "fleet/plan/window.h"
#include "fleet/run/hold.h"
#include "fleet/report/report.h"
#include "process/child_process.h"

namespace modflash::fleet {

class KeySource;

/// Told of each start and end as it happens, and of each wave's end; a
/// false answer (a file that could not be written, named by Unwritten())
/// stops further starts.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  /// A program of `step` ("update", "version-read", "audit") is about to
  /// start for reader `index`: a false answer and it does not start.
  virtual bool Starting(size_t index, const ReaderRecord& record,
                        const char* step) = 0;
  /// The program of reader `index` started as process `pid`.
  virtual bool Running(size_t index, long pid) = 0;
  virtual bool Ended(size_t index, const ReaderRecord& record) = 0;
  virtual bool WaveEnded(const std::vector<ReaderRecord>& records) = 0;
  /// No maintenance window is open: the run waits until `until` (local
  /// time); "" once one is open again.
  virtual bool Waiting(const std::string& until) {
    static_cast<void>(until);
    return true;
  }
  /// The system ends this program in a moment (Windows: the console was
  /// closed, a log-off); the running programs finish on their own.
  virtual bool Ending() = 0;
  /// The run was paused (`entry` kEntryPause) or continued, by `by`.
  virtual bool Held(const std::string& entry, const std::string& by) {
    static_cast<void>(entry);
    static_cast<void>(by);
    return true;
  }
  virtual std::string Unwritten() const = 0;
};

/// How a fleet run goes about its readers.
struct FleetSettings {
  RunKind kind = RunKind::kProgram;
  std::string image;         ///< handed to modflash as given
  std::string imageVersion;  ///< "V1.2.3"; empty for an audit without one
  std::string imageSha256;   ///< empty for an audit without an image
  std::string modflash;      ///< the programmer to run for each reader
  /// modflash-audit: the audit itself, and the version read before each
  /// update of a programming run.
  std::string auditProgram;
  /// Update modules that already run the image's version.
  bool force = false;
  /// Update modules that run a newer version than the image too (else they
  /// are left alone, newer-than-image). With `force`: no version read.
  bool allowOlder = false;
  int jobs = 16;  ///< readers at once
  /// The sizes of the waves, in order, adding up to the readers; empty:
  /// one wave of all.
  std::vector<size_t> waves;
  /// The first wave must succeed wholly before the next one starts.
  bool canary = false;
  int maxFailures = 0;  ///< no start once this many failed; 0: never stop
  /// No start once more than this share (per cent) of the finished updates
  /// failed; below 0: no such limit.
  double maxFailureRate = -1;
  /// maxFailureRate applies once this many updates have finished.
  int minFinished = 5;
  /// No update (nor the version read before one) starts outside these;
  /// none: no such limit.
  std::vector<MaintenanceWindow> windows;
  /// When no window is open: stop (kWindowClosed) instead of waiting.
  bool stopAtWindowEnd = false;
  /// Approvals after waves; its folder is taken from `folder`.
  HoldSettings hold;
  /// The keys of the terminal, which pause and continue the run (see
  /// Hold::Key); null without a terminal.
  KeySource* keys = nullptr;
  std::string folder;  ///< the run folder, which must exist
  RunObserver* observer = nullptr;
  /// For a resumed run: the records of readers that ended before, taken
  /// as they are (in their wave, counted towards the limits); empty or
  /// one entry a reader.
  std::vector<std::optional<ReaderRecord>> kept;
};

/// What a fleet run did.
struct FleetResult {
  /// One record per reader, in inventory order.
  std::vector<ReaderRecord> records;
  /// The sizes of the waves that started: the readers of each that went on
  /// to an update (not those left alone after their version read).
  std::vector<size_t> waves;
  /// Why new starts stopped; empty when every reader was started.
  std::string stopped;
  /// The first file of the run folder that could not be written, if any.
  std::string unwritten;
  /// Each pause and continue, those before a resume first.
  std::vector<HoldEvent> holds;
};

/// Runs modflash (or, for an audit, modflash-audit) once per reader, wave
/// by wave and at most `jobs` at a time, never two at once for one address
/// and port. Each child writes its transcript into
/// the run folder itself, out of reach of our terminal, and this follows it;
/// each exit status is written as the child ends, and a failed write stops
/// further starts. A programming run reads each module's version just before
/// its update and leaves out the modules that run the image's version already
/// (unless `force`) and those that run a newer one (unless `allowOlder`);
/// such a reader takes no place in its wave and does not count towards the
/// failure rate. Stops starting after a failed canary, too many failures or
/// an interruption; a second interruption ends the running updates. An audit
/// changes nothing, so an interruption ends it at once. A hang-up is no
/// interruption: the run goes on, its console lines in fleet.log.
FleetResult RunFleet(const FleetSettings& settings,
                     const std::vector<Reader>& readers, Display& display);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_FLEET_RUN_H_
