#ifndef MODFLASH_FLEET_DIAGNOSIS_H_
#define MODFLASH_FLEET_DIAGNOSIS_H_

#include <string>

#include "fleet/transcript_reader.h"

namespace modflash::fleet {

/// What a reader's module holds after its run (the report's module_state).
inline constexpr char kUntouched[] = "untouched";
inline constexpr char kMayLackFirmware[] = "may-lack-firmware";
inline constexpr char kUpdatedState[] = "updated";
inline constexpr char kAlreadyCurrentState[] = "already-current";
inline constexpr char kUnknownState[] = "unknown";

/// A failure phase (the report's failure_phase) and the one sentence of
/// advice the report gives for it. docs/operator-guide.md gives the same
/// sentences in its table of failure phases.
struct PhaseAdvice {
  const char* phase;
  const char* nextStep;
};

inline constexpr PhaseAdvice kFailurePhases[] = {
    {"connect",
     "Check the reader's address, port, power and network, then retry it."},
    {"probe",
     "Power-cycle the reader so that its module answers, then retry it."},
    {"baud-rate", "Retry it; restart the reader if its baud rate fails again."},
    {"restart-wait", "Power-cycle the reader, then retry it."},
    {"enter-update-mode",
     "Wait a minute and retry it; power-cycle the reader if it fails again."},
    {"transfer", "Update it again at once: its module may lack firmware."},
    {"complete",
     "Update it again at once: its module did not accept the update."},
    {"post-update-wait",
     "Power-cycle the reader, audit its version and update it again if in "
     "doubt."},
    {"final-baud-rate",
     "Set its module to 921600 baud with the reader's tools, or update it "
     "again."},
    {"verify",
     "Power-cycle the reader and audit its version; update it again if it "
     "differs."},
    {"interrupted",
     "Update it again before anything else: it was stopped part-way."},
};

/// The advice for `phase`; "" for a phase not in kFailurePhases.
const char* NextStep(const std::string& phase);

/// How a failed or interrupted run left its module, from how far its
/// transcript got: untouched before update mode, may lack firmware from
/// there until the update was accepted, unknown after that (or "updated"
/// when only the final rate change failed and the version matched). A dry
/// run writes nothing and leaves every module untouched.
const char* ModuleStateAfterFailure(const TranscriptFacts& facts, bool dryRun,
                                    bool interrupted);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_DIAGNOSIS_H_
