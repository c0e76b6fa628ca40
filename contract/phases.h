#ifndef MODFLASH_CONTRACT_PHASES_H_
#define MODFLASH_CONTRACT_PHASES_H_
// The steps of an update as modflash's output shows them, and the numbers
// behind its marks. The programmer counts its restart wait and places its
// transfer with these; modflash-fleet reads its transcripts, times its
// phases and gives its advice by them, and docs/fleet.md and
// docs/operator-guide.md give the same tables (a test compares them).

#include <cstdint>

#include "contract/output_lines.h"

namespace modflash::output {

/// First flash address of the module's code area: the transfer's line
/// markers and refused slices name addresses from here, its last failure
/// an offset to it.
inline constexpr uint32_t kFlashBase = 0x404000;

/// The restart wait: a kWaitMark after each one-second pause, then one after
/// each version poll that goes unanswered. A wait with all of its marks had
/// no poll answered.
inline constexpr int kRestartPauses = 8;
inline constexpr int kRestartPolls = 20;
inline constexpr int kRestartMarks = kRestartPauses + kRestartPolls;

/// "SendCodePacket ADDRESS" and kRefused: a refused slice, its address in
/// decimal.
inline constexpr char kSliceStart[] = "SendCodePacket ";

/// What a reader's module holds after its run (the report's module_state).
inline constexpr char kUntouched[] = "untouched";
inline constexpr char kMayLackFirmware[] = "may-lack-firmware";
inline constexpr char kUpdatedState[] = "updated";
inline constexpr char kAlreadyCurrentState[] = "already-current";
inline constexpr char kUnknownState[] = "unknown";

/// The phases of an update's timeline (the report's `phases`), in the order
/// an update goes through them. Each but the first begins with the line
/// that opens it (a line starting with `opener`, or with `alsoOpener`).
/// The restart wait opens with the restart before the version read; the
/// earlier front end has none there and waits only after its update
/// request.
struct TimelinePhase {
  const char* name;
  const char* opener;
  const char* alsoOpener;
};

inline constexpr TimelinePhase kTimeline[] = {
    {"connect-probe", nullptr, nullptr},
    {"baud-rate", kCurrentRate, nullptr},
    {"restart-wait", kResetting, kModuleRestarting},
    {"transfer", kEnterLine, nullptr},
    {"post-update-wait", kWritten, kDryRunDone},
    {"verify", kVersionAfter, nullptr},
};

/// The steps a failed run can stop in (the report's failure_phase).
inline constexpr char kPhaseConnect[] = "connect";
inline constexpr char kPhaseProbe[] = "probe";
inline constexpr char kPhaseBaudRate[] = "baud-rate";
inline constexpr char kPhaseRestartWait[] = "restart-wait";
inline constexpr char kPhaseEnterUpdateMode[] = "enter-update-mode";
inline constexpr char kPhaseTransfer[] = "transfer";
inline constexpr char kPhaseComplete[] = "complete";
inline constexpr char kPhasePostUpdateWait[] = "post-update-wait";
inline constexpr char kPhaseFinalBaudRate[] = "final-baud-rate";
inline constexpr char kPhaseVerify[] = "verify";
inline constexpr char kPhaseInterrupted[] = "interrupted";

/// How the failure line of an update that the fleet tool ended begins (the
/// report page reads it): the transcript's last line is then no failure of
/// its own, often a success line such as "Successfully Entered Update Mode".
inline constexpr char kInterruptedLine[] = "Interrupted";

/// What an already-current record says of its version: a module's flash
/// cannot be read back, so only the version number was compared.
inline constexpr char kSameVersionOnly[] =
    "same version; the content was not compared";

/// A failure phase, the module's state after a failure there (of a real
/// run; "" when it depends on how far the run got) and the report's one
/// sentence of advice.
struct FailurePhase {
  const char* name;
  const char* moduleState;
  const char* nextStep;
};

inline constexpr FailurePhase kFailurePhases[] = {
    {kPhaseConnect, kUntouched,
     "Check the reader's address, port, power and network, then retry it."},
    {kPhaseProbe, kUntouched,
     "Power-cycle the reader so that its module answers, then retry it."},
    {kPhaseBaudRate, kUntouched,
     "Retry it; restart the reader if its baud rate fails again."},
    {kPhaseRestartWait, kUntouched, "Power-cycle the reader, then retry it."},
    {kPhaseEnterUpdateMode, kUntouched,
     "Wait a minute and retry it; power-cycle the reader if it fails again."},
    {kPhaseTransfer, kMayLackFirmware,
     "Update it again at once: its module may lack firmware."},
    {kPhaseComplete, kMayLackFirmware,
     "Update it again at once: its module did not accept the update."},
    {kPhasePostUpdateWait, kUnknownState,
     "Power-cycle the reader, audit its version and update it again if in "
     "doubt."},
    {kPhaseFinalBaudRate, kUnknownState,
     "Set its module to 921600 baud with the reader's tools, or update it "
     "again."},
    {kPhaseVerify, kUnknownState,
     "Power-cycle the reader and audit its version; update it again if it "
     "differs."},
    {kPhaseInterrupted, "",
     "Update it again before anything else: it was stopped part-way."},
};

}  // namespace modflash::output

#endif  // MODFLASH_CONTRACT_PHASES_H_
