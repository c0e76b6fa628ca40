#include "fleet/transcript/diagnosis.h"

namespace modflash::fleet {
namespace {

const output::FailurePhase* FindPhase(const std::string& phase) {
  for (const output::FailurePhase& p : output::kFailurePhases) {
    if (phase == p.name) return &p;
  }
  return nullptr;
}

}  // namespace

const char* NextStep(const std::string& phase) {
  const output::FailurePhase* p = FindPhase(phase);
  return p ? p->nextStep : "";
}

const char* ModuleStateAfterFailure(const TranscriptFacts& facts, bool dryRun,
                                    bool interrupted) {
  if (dryRun || !facts.enteredUpdateMode) return output::kUntouched;
  const std::string& phase = facts.phase;
  if (phase == output::kPhaseFinalBaudRate && !interrupted &&
      !facts.versionAfter.empty() && facts.versionAfter == facts.fileVersion) {
    return output::kUpdatedState;
  }
  // In update mode the module is no longer untouched, whatever the phase.
  const output::FailurePhase* p = FindPhase(phase);
  if (p && std::string(p->moduleState) == output::kMayLackFirmware) {
    return output::kMayLackFirmware;
  }
  return output::kUnknownState;
}

}  // namespace modflash::fleet
