#ifndef MODFLASH_FLEET_RUN_SCHEDULER_H_
#define MODFLASH_FLEET_RUN_SCHEDULER_H_

#include <memory>
#include <string>
#include <vector>

#include "fleet/run/fleet_run.h"
#include "fleet/run/hold.h"
#include "fleet/run/running.h"
#include "fleet/run/window_gate.h"

namespace modflash::fleet {

/// Starts the readers wave by wave as far as the settings allow, collects
/// the children's output pass by pass and records each reader as it ends.
/// The loop, its waves and its stops live in scheduler.cpp; the steps of
/// one reader (its children and their ends) in scheduler_steps.cpp.
class Scheduler {
 public:
  Scheduler(const FleetSettings& settings, const std::vector<Reader>& readers,
            Display& display);

  FleetResult Run();

 private:
  size_t Updates() const;
  void FollowInterruptions();
  void FollowKeys();
  static void Kill(Running& r);
  void Stop(const std::string& reason);
  void NotWritten(const std::string& path);
  bool Busy(const Reader& reader) const;
  void CheckStops();
  bool Startable();
  bool WindowAllows();
  bool CanaryFailed();
  std::string WaveCounts() const;
  bool HoldAllows();
  bool NextWave();
  size_t WaveSize() const;
  void TakePlace();
  void ReleasePlace();
  void ShowLive();

  void StartNext();
  bool StartStep(Running& r, Step step);
  void Collect();
  bool Finish(Running& r);
  bool SkipIfNotNeeded(const Running& r, const process::ChildExit& exit,
                       ReaderRecord& record);
  void Counted(const ReaderRecord& record, bool note = true);

  const FleetSettings& settings_;
  const std::vector<Reader>& readers_;
  Display& display_;
  const bool audit_;
  const std::vector<size_t> plan_;
  FleetResult result_;
  std::vector<std::unique_ptr<Running>> running_;
  size_t next_ = 0;
  size_t wave_ = 0;       // the current wave, from 1; 0 before the first
  size_t waveTaken_ = 0;  // places of the current wave taken by updates
  size_t waveFailures_ = 0;
  size_t finished_ = 0;  // updates that ended (a skipped module is none)
  size_t failures_ = 0;
  WindowGate gate_;
  Hold hold_;
  bool waiting_ = false;  // this pass: only a closed window holds starts
  int interruptionsSeen_ = 0;
  bool hungUp_ = false;
};

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_RUN_SCHEDULER_H_
