#include "fleet/plan/retry.h"

#include <algorithm>

#include "fleet/report/fields.h"
#include "fleet/report/journal_read.h"
#include "fleet/report/json_lines.h"
#include "fleet/report/run_info.h"
#include "fleet/system/folder_file.h"

namespace modflash::fleet {
namespace {

bool Retried(const std::string& outcome, bool audit) {
  static const Outcome kProgram[] = {Outcome::kFailed, Outcome::kUnknown,
                                     Outcome::kNotStarted};
  static const Outcome kAudit[] = {Outcome::kNoModuleAnswer,
                                   Outcome::kUnreachable, Outcome::kUnknown,
                                   Outcome::kNotStarted};
  const auto named = [&outcome](Outcome o) {
    return outcome == OutcomeName(o);
  };
  if (audit) {
    return std::any_of(std::begin(kAudit), std::end(kAudit), named);
  }
  return std::any_of(std::begin(kProgram), std::end(kProgram), named);
}

// The field that `record` lacks among those a retry needs; "" when none.
std::string MissingField(const Json& record) {
  if (Text(record, field::kOutcome).empty()) return field::kOutcome;
  if (Text(record, field::kName).empty()) return field::kName;
  if (Text(record, field::kHost).empty() &&
      Text(record, field::kAddress).empty()) {
    return field::kAddress;
  }
  if (!Whole(record, field::kPort)) return field::kPort;
  return "";
}

// Whether the previous run's kind can be retried as asked.
bool KindFits(const RunFolder& run, bool audit, std::string& error) {
  const std::string kind =
      run.run.is_object() ? Text(run.run, run_key::kKind) : "";
  const std::string auditKind = RunKindName(RunKind::kAudit);
  if (audit && !kind.empty() && kind != auditKind) {
    error = run.path + " is a " + kind +
            " run: retry it with --program or --dryrun";
    return false;
  }
  if (!audit && kind == auditKind) {
    error = run.path + " is an audit: retry it with --audit";
    return false;
  }
  return true;
}

// Whether the report of `folder`, when there is one, ends its last line,
// as its writer does: one cut off by a full disk or a crash does not. A
// report that cannot be read is left to ReadRunFolder, which says why.
bool ReportEnds(const std::string& folder, std::string& error) {
  std::string text;
  std::string reason;
  if (ReadFolderFile(folder, "report.jsonl", kReportLimits.fileBytes, text,
                     reason) != FolderFile::kRead ||
      text.empty() || text.back() == '\n') {
    return true;
  }
  error = folder + "/report.jsonl is torn: its last line is cut off";
  return false;
}

// Whether every line of the report was read: a line left out may be a
// reader that needs the retry.
bool ReportRead(const RunFolder& run, std::string& error) {
  if (run.skipped.empty()) return true;
  error = run.skipped.front() + " (" + std::to_string(run.skipped.size()) +
          " line(s) cannot be read, so the readers to retry are not known)";
  return false;
}

// Whether the report read holds every record of the run: at least one, and
// as many as a run.json that counts them says.
bool ReportWhole(const RunFolder& run, std::string& error) {
  const std::string where = run.path + "/report.jsonl";
  if (run.records.empty()) {
    error = where + " holds no record (was the run cut short?)";
    return false;
  }
  if (!run.run.is_object()) return true;
  const auto counts = run.run.find(run_key::kCounts);
  if (counts == run.run.end() || !counts->is_object()) return true;
  size_t counted = 0;
  for (const auto& count : counts->items()) {
    if (count.value().is_number_unsigned()) {
      counted += count.value().get<size_t>();
    }
  }
  if (counted == run.records.size()) return true;
  error = where + " is torn: it holds " + std::to_string(run.records.size()) +
          " record(s), run.json counts " + std::to_string(counted);
  return false;
}

// Takes `reader` into `readers` unless its address and port are there
// already; then the one there says so in its note.
void TakeOnce(const Reader& reader, std::vector<Reader>& readers) {
  for (Reader& r : readers) {
    if (r.address != reader.address || r.port != reader.port) continue;
    r.note = "listed again as record " + std::to_string(reader.line) +
             "; retried once";
    return;
  }
  readers.push_back(reader);
}

}  // namespace

bool RetryReaders(const std::string& folder, bool audit,
                  const Resolver& resolve, RetryList& list,
                  std::string& error) {
  list = RetryList{};
  std::vector<Reader>& readers = list.readers;
  RunFolder run;
  if (RunAliveElsewhere(folder)) {
    error = "the run of " + folder + " goes on in process " +
            std::to_string(LockHolder(folder)) +
            "; wait for its end (--status " + folder + ")";
    return false;
  }
  if (!ReportEnds(folder, error) || !ReadRunFolder(folder, run, error) ||
      !ReportRead(run, error) || !ReportWhole(run, error) ||
      !KindFits(run, audit, error)) {
    return false;
  }
  if (run.run.is_object()) list.site = Text(run.run, run_key::kSite);
  const std::string where = folder + "/report.jsonl";
  for (size_t i = 0; i < run.records.size(); ++i) {
    const Json& r = run.records[i];
    const std::string record = where + ": record " + std::to_string(i + 1);
    const std::string missing = MissingField(r);
    if (!missing.empty()) {
      error = record + " has no '" + missing +
              "' (a report of another version of modflash-fleet?)";
      readers.clear();
      return false;
    }
    if (!Retried(Text(r, field::kOutcome), audit)) continue;
    Reader reader;
    reader.line = static_cast<int>(i + 1);
    reader.name = Text(r, field::kName);
    std::string host = Text(r, field::kHost);
    if (host.empty()) host = Text(r, field::kAddress);
    const std::string problem = ParseEntry(
        host + ":" + std::to_string(Whole(r, field::kPort).value_or(0)),
        resolve, reader);
    if (!problem.empty()) {
      error = record + ": " + problem;
      readers.clear();
      return false;
    }
    TakeOnce(reader, readers);
  }
  return true;
}

}  // namespace modflash::fleet
