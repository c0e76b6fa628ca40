#include "fleet/transcript/judgement.h"

#include "contract/output_lines.h"
#include "contract/phases.h"
#include "fleet/system/system.h"
#include "fleet/transcript/diagnosis.h"
#include "fleet/transcript/transcript_reader.h"

namespace modflash::fleet {
namespace {

// The three numbers of "V1.2.3"; false for anything else.
bool VersionParts(const std::string& text, long parts[3]) {
  size_t at = !text.empty() && (text[0] == 'V' || text[0] == 'v') ? 1 : 0;
  for (int i = 0; i < 3; ++i) {
    if (i > 0 && (at >= text.size() || text[at++] != '.')) return false;
    const size_t start = at;
    long value = 0;
    while (at < text.size() && at - start < 6 && text[at] >= '0' &&
           text[at] <= '9') {
      value = value * 10 + (text[at++] - '0');
    }
    if (at == start || at - start > 5) return false;
    parts[i] = value;
  }
  return at == text.size();
}

}  // namespace

std::optional<int> CompareVersions(const std::string& a, const std::string& b) {
  long x[3];
  long y[3];
  if (!VersionParts(a, x) || !VersionParts(b, y)) return std::nullopt;
  for (int i = 0; i < 3; ++i) {
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  }
  return 0;
}

bool NewerThanImage(const std::string& moduleVersion,
                    const std::string& imageVersion) {
  const std::optional<int> order = CompareVersions(moduleVersion, imageVersion);
  return order && *order > 0;
}

void JudgeNewer(const TranscriptFacts& read, const std::string& imageVersion,
                ReaderRecord& record) {
  record.outcome = Outcome::kNewerThanImage;
  record.moduleState = output::kUntouched;
  record.facts = read;
  record.facts.fileVersion = imageVersion;
  record.current = false;
  record.nextStep = "Its module runs " + read.versionBefore +
                    ", newer than the image's " + imageVersion +
                    ", and was left as it is; if a downgrade is meant, run "
                    "it again with --allow-older.";
}

void JudgeCurrent(const TranscriptFacts& read, ReaderRecord& record) {
  record.outcome = Outcome::kAlreadyCurrent;
  record.moduleState = output::kAlreadyCurrentState;
  record.facts = read;
  record.current = true;
  record.nextStep = "Its module runs " + read.versionBefore +
                    ", the image's version, and was left as it is (" +
                    output::kSameVersionOnly +
                    "); to write the image all the same, run it again with "
                    "--force.";
}

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
  record.failureLine = f.lastLine;
  if (*record.exitStatus == output::kAuditNoModuleAnswer) {
    record.outcome = Outcome::kNoModuleAnswer;
    // The reader left its rate query unanswered, or the module its version
    // command: the line of the part that failed, not the version read after
    // an unanswered rate query, which the record keeps.
    record.failurePhase =
        f.initialBaud.empty() ? output::kPhaseBaudRate : output::kPhaseProbe;
    if (f.initialBaud.empty()) record.failureLine = output::kNoRate;
    if (!imageVersion.empty() && !f.versionBefore.empty())
      record.current = f.versionBefore == imageVersion;
  } else {
    record.outcome = Outcome::kUnreachable;
    record.failurePhase = output::kPhaseConnect;
  }
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
  record.failureLine = killed ? InterruptedLine(f) : f.lastLine;
  record.firstError = f.firstErrorLine;
  record.failurePhase = killed ? output::kPhaseInterrupted : f.phase;
  record.moduleState = ModuleStateAfterFailure(f, dryRun, killed);
  record.nextStep = NextStep(record.failurePhase);
  if (f.phase == output::kPhaseTransfer)
    record.failureAddress = f.transferAddress;
}

std::string InterruptedLine(const TranscriptFacts& facts) {
  std::string line =
      std::string(output::kInterruptedLine) + " by a second Ctrl-C";
  if (!facts.phase.empty()) line += " in its " + facts.phase + " step";
  if (facts.phase == output::kPhaseTransfer && !facts.transferAddress.empty()) {
    line += ", at " + facts.transferAddress;
  }
  if (facts.enteredUpdateMode) line += ", after its module entered update mode";
  return line + ".";
}

}  // namespace modflash::fleet
