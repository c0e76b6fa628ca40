#include "fleet/transcript/judgement.h"

#include "contract/output_lines.h"
#include "contract/phases.h"
#include "fleet/system/system.h"
#include "fleet/transcript/diagnosis.h"
#include "fleet/transcript/transcript_reader.h"

namespace modflash::fleet {

void JudgeAudit(const std::string& transcript, int exitStatus,
                const std::string& imageVersion, ReaderRecord& record) {
  record.facts = ReadTranscript(transcript);
  record.exitStatus = SignedExitStatus(exitStatus);
  record.exitStatusRaw = RawExitStatus(exitStatus);
  record.moduleState = output::kUntouched;
  const TranscriptFacts& f = record.facts;
  if (*record.exitStatus == output::kAuditAnswered) {
    record.outcome = Outcome::kAnswered;
    if (!imageVersion.empty()) record.current = f.versionBefore == imageVersion;
    return;
  }
  if (*record.exitStatus == output::kAuditNoModuleAnswer) {
    record.outcome = Outcome::kNoModuleAnswer;
    // The reader left its rate query unanswered, or the module its version
    // command.
    record.failurePhase =
        f.initialBaud.empty() ? output::kPhaseBaudRate : output::kPhaseProbe;
  } else {
    record.outcome = Outcome::kUnreachable;
    record.failurePhase = output::kPhaseConnect;
  }
  record.failureLine = f.lastLine;
  record.firstError = f.firstErrorLine;
  record.nextStep = NextStep(record.failurePhase);
}

void JudgeRun(const std::string& transcript, const process::ChildExit& exit,
              bool killed, bool dryRun, ReaderRecord& record) {
  record.facts = ReadTranscript(transcript);
  const TranscriptFacts& f = record.facts;
  if (exit.exited && !killed) {
    record.exitStatus = SignedExitStatus(exit.status);
    record.exitStatusRaw = RawExitStatus(exit.status);
  }
  if (record.exitStatus == 0) {
    record.outcome = dryRun ? Outcome::kDryRunOk : Outcome::kUpdated;
    record.moduleState = dryRun ? output::kUntouched : output::kUpdatedState;
    return;
  }
  record.outcome = Outcome::kFailed;
  record.failureLine = f.lastLine;
  record.firstError = f.firstErrorLine;
  record.failurePhase = killed ? output::kPhaseInterrupted : f.phase;
  record.moduleState = ModuleStateAfterFailure(f, dryRun, killed);
  record.nextStep = NextStep(record.failurePhase);
  if (f.phase == output::kPhaseTransfer)
    record.failureAddress = f.transferAddress;
}

}  // namespace modflash::fleet
