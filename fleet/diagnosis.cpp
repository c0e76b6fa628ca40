#include "fleet/diagnosis.h"

namespace modflash::fleet {

const char* NextStep(const std::string& phase) {
  for (const PhaseAdvice& a : kFailurePhases) {
    if (phase == a.phase) return a.nextStep;
  }
  return "";
}

const char* ModuleStateAfterFailure(const TranscriptFacts& facts, bool dryRun,
                                    bool interrupted) {
  if (dryRun || !facts.enteredUpdateMode) return kUntouched;
  const std::string& phase = facts.phase;
  if (phase == "transfer" || phase == "complete") return kMayLackFirmware;
  if (phase == "final-baud-rate" && !interrupted &&
      !facts.versionAfter.empty() && facts.versionAfter == facts.fileVersion) {
    return kUpdatedState;
  }
  return kUnknownState;
}

}  // namespace modflash::fleet
