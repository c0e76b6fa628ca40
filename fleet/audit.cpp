#include "fleet/audit.h"

#include <algorithm>
#include <map>
#include <utility>

#include "contract/output_lines.h"
#include "fleet/diagnosis.h"
#include "fleet/system.h"
#include "fleet/transcript_reader.h"

namespace modflash::fleet {
void JudgeAudit(const std::string& transcript, int exitStatus,
                const std::string& imageVersion, ReaderRecord& record) {
  record.facts = ReadTranscript(transcript);
  record.exitStatus = SignedExitStatus(exitStatus);
  record.exitStatusRaw = RawExitStatus(exitStatus);
  record.moduleState = kUntouched;
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
    record.failurePhase = f.initialBaud.empty() ? "baud-rate" : "probe";
  } else {
    record.outcome = Outcome::kUnreachable;
    record.failurePhase = "connect";
  }
  record.failureLine = f.lastLine;
  record.firstError = f.firstErrorLine;
  record.nextStep = NextStep(record.failurePhase);
}

std::string VersionCounts(const std::vector<ReaderRecord>& records) {
  std::map<std::string, size_t> versions;
  size_t silent = 0;
  size_t unread = 0;
  for (const ReaderRecord& r : records) {
    if (r.outcome == Outcome::kAnswered) {
      ++versions[r.facts.versionBefore];
    } else if (r.outcome == Outcome::kNotStarted) {
      ++unread;
    } else {
      ++silent;
    }
  }
  std::vector<std::pair<std::string, size_t>> order(versions.begin(),
                                                    versions.end());
  std::stable_sort(
      order.begin(), order.end(),
      [](const auto& a, const auto& b) { return a.second > b.second; });
  std::string text;
  for (const auto& [version, count] : order) {
    text += (text.empty() ? "" : ", ") + Shown(version) + ": " +
            std::to_string(count) + (text.empty() ? " readers" : "");
  }
  const auto add = [&](const char* what, size_t count) {
    if (count == 0) return;
    text += (text.empty() ? "" : ", ") + std::string(what) + ": " +
            std::to_string(count);
  };
  add("no answer", silent);
  add("not read", unread);
  return text;
}

void AuditSummary(std::ostream& out, const std::vector<ReaderRecord>& records,
                  const std::string& imageVersion) {
  size_t nameWidth = 4;
  size_t whereWidth = 7;
  for (const ReaderRecord& r : records) {
    nameWidth =
        std::max(nameWidth, std::min<size_t>(Shown(r.reader.name).size(), 40));
    whereWidth = std::max(whereWidth, ShownWhere(r.reader).size());
  }
  out << "\n"
      << Pad("name", nameWidth) << "  " << Pad("address", whereWidth) << "  "
      << Pad("outcome", 16) << "  " << Pad("version", 9) << "  "
      << Pad("baud", 7) << (imageVersion.empty() ? "" : "  current")
      << "  detail\n";
  for (const ReaderRecord& r : records) {
    out << Pad(Shown(r.reader.name).substr(0, 40), nameWidth) << "  "
        << Pad(ShownWhere(r.reader), whereWidth) << "  "
        << Pad(OutcomeName(r.outcome), 16) << "  "
        << Pad(Shown(r.facts.versionBefore), 9) << "  "
        << Pad(Shown(r.facts.initialBaud), 7);
    if (!imageVersion.empty()) {
      out << "  " << Pad(r.current ? (*r.current ? "yes" : "no") : "", 7);
    }
    out << "  " << Shown(r.firstError.empty() ? r.failureLine : r.firstError)
        << "\n";
  }
  out << "\n"
      << records.size()
      << " reader(s). Module versions: " << VersionCounts(records) << "\n";
}

}  // namespace modflash::fleet
