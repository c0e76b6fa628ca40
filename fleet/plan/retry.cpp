#include "fleet/plan/retry.h"

#include <algorithm>

#include "fleet/report/run_info.h"

namespace modflash::fleet {
namespace {

bool Retried(const std::string& outcome, bool audit) {
  static const char* const kProgram[] = {"failed", "not-started"};
  static const char* const kAudit[] = {"no-module-answer", "unreachable",
                                       "not-started"};
  if (audit) {
    return std::find(std::begin(kAudit), std::end(kAudit), outcome) !=
           std::end(kAudit);
  }
  return std::find(std::begin(kProgram), std::end(kProgram), outcome) !=
         std::end(kProgram);
}

// The field that `record` lacks among those a retry needs; "" when none.
std::string MissingField(const Json& record) {
  if (Text(record, "outcome").empty()) return "outcome";
  if (Text(record, "name").empty()) return "name";
  if (Text(record, "host").empty() && Text(record, "address").empty()) {
    return "address";
  }
  const auto port = record.find("port");
  if (port == record.end() || !port->is_number_integer()) return "port";
  return "";
}

// Whether the previous run's kind can be retried as asked.
bool KindFits(const RunFolder& run, bool audit, std::string& error) {
  const std::string kind = run.run.is_object() ? Text(run.run, "kind") : "";
  if (audit && !kind.empty() && kind != "audit") {
    error = run.path + " is a " + kind +
            " run: retry it with --program or --dryrun";
    return false;
  }
  if (!audit && kind == "audit") {
    error = run.path + " is an audit: retry it with --audit";
    return false;
  }
  return true;
}

}  // namespace

bool RetryReaders(const std::string& folder, bool audit,
                  const Resolver& resolve, std::vector<Reader>& readers,
                  std::string& error) {
  readers.clear();
  RunFolder run;
  if (!ReadRunFolder(folder, run, error) || !KindFits(run, audit, error)) {
    return false;
  }
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
    if (!Retried(Text(r, "outcome"), audit)) continue;
    Reader reader;
    reader.line = static_cast<int>(i + 1);
    reader.name = Text(r, "name");
    std::string host = Text(r, "host");
    if (host.empty()) host = Text(r, "address");
    const std::string problem =
        ParseEntry(host + ":" + std::to_string(r["port"].get<long long>()),
                   resolve, reader);
    if (!problem.empty()) {
      error = record + ": " + problem;
      readers.clear();
      return false;
    }
    readers.push_back(reader);
  }
  return true;
}

}  // namespace modflash::fleet
