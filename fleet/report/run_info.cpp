#include "fleet/report/run_info.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <map>
#include <utility>

#include "fleet/report/json_lines.h"
#include "fleet/report/record.h"
#include "fleet/system/folder_file.h"
#include "fleet/system/terminal.h"

#ifndef MODFLASH_FLEET_VERSION
#error "the build defines MODFLASH_FLEET_VERSION"
#endif

namespace modflash::fleet {
namespace {

// Every outcome a report can hold, in the order counts are shown.
const char* const kOutcomeOrder[] = {
    "updated",          "dry-run-ok",  "already-current", "answered",
    "no-module-answer", "unreachable", "failed",          "not-started"};

std::vector<std::string> BaseOutcomes(const std::string& kind) {
  if (kind == "program") return {"updated", "failed", "not-started"};
  if (kind == "dryrun") return {"dry-run-ok", "failed", "not-started"};
  if (kind == "audit") {
    return {"answered", "no-module-answer", "unreachable", "not-started"};
  }
  return {};
}

Json NullIfEmpty(const std::string& text) {
  return text.empty() ? Json(nullptr) : Json(text);
}

}  // namespace

const char* FleetVersion() { return MODFLASH_FLEET_VERSION; }

std::string LocalTimeNow() {
  const std::tm local = LocalTime(std::time(nullptr));
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return text;
}

std::string Text(const Json& record, const char* field) {
  const auto it = record.find(field);
  if (it == record.end() || !it->is_string()) return "";
  return it->get<std::string>();
}

Json CountOutcomes(const std::string& kind, const std::vector<Json>& records) {
  std::map<std::string, int> seen;
  for (const Json& r : records) ++seen[Text(r, "outcome")];
  const std::vector<std::string> base = BaseOutcomes(kind);
  Json counts = Json::object();
  for (const char* outcome : kOutcomeOrder) {
    const auto it = seen.find(outcome);
    const bool always =
        std::find(base.begin(), base.end(), outcome) != base.end();
    if (it != seen.end() || always) {
      counts[outcome] = it != seen.end() ? it->second : 0;
      if (it != seen.end()) seen.erase(it);
    }
  }
  // Outcomes of a later version of this program, and records without one.
  for (const auto& [outcome, count] : seen) {
    counts[outcome.empty() ? "unknown" : outcome] = count;
  }
  return counts;
}

const char* RunKindName(RunKind kind) {
  switch (kind) {
    case RunKind::kDryRun:
      return "dryrun";
    case RunKind::kAudit:
      return "audit";
    case RunKind::kProgram:
      break;
  }
  return "program";
}

Json RunInfo(const RunDescription& run, const std::vector<Json>& records) {
  Json info = Json::object();
  info["tool"] = "modflash-fleet";
  info["tool_version"] = FleetVersion();
  info["modflash_version"] =
      run.modflashBeside ? Json(FleetVersion()) : Json(nullptr);
  info["kind"] = run.kind;
  info["command_line"] = run.commandLine;
  info["start_time"] = NullIfEmpty(run.startTime);
  info["end_time"] = NullIfEmpty(run.endTime);
  Json image = nullptr;
  if (!run.imageFile.empty()) {
    image = {{"file", run.imageFile},
             {"version", NullIfEmpty(run.imageVersion)},
             {"sha256", NullIfEmpty(run.imageSha256)}};
  }
  info["image"] = image;
  info["site"] = NullIfEmpty(run.site);
  info["retry_of"] = NullIfEmpty(run.retryOf);
  info["waves"] = run.waves.empty() ? Json(nullptr) : Json(run.waves);
  info["stopped"] = NullIfEmpty(run.stopped);
  info["counts"] = CountOutcomes(run.kind, records);
  return info;
}

namespace {

// report.jsonl's records, the lines left out or repaired named.
bool ReadReport(const std::string& folder, RunFolder& out,
                std::string& error) {
  const std::string where = folder + "/report.jsonl";
  std::string text;
  std::string reason;
  switch (ReadFolderFile(folder, "report.jsonl", kReportLimits.fileBytes,
                         text, reason)) {
    case FolderFile::kRead:
      break;
    case FolderFile::kMissing:
      error = folder + " holds no report (report.jsonl)";
      return false;
    default:
      error = where + ": " + reason;
      return false;
  }
  JsonLines lines = ParseJsonLines(text, kReportLimits);
  if (!lines.error.empty()) {
    error = where + ": " + lines.error;
    return false;
  }
  out.records = std::move(lines.records);
  for (const LineProblem& p : lines.problems) {
    const std::string line =
        where + ":" + std::to_string(p.line) + ": " + p.reason;
    (p.skipped ? out.skipped : out.repaired).push_back(line);
  }
  return true;
}

// run.json, when there is one.
bool ReadRunJson(const std::string& folder, RunFolder& out,
                 std::string& error) {
  const std::string where = folder + "/run.json";
  std::string text;
  std::string reason;
  switch (ReadFolderFile(folder, "run.json", kRunInfoLimits.fileBytes, text,
                         reason)) {
    case FolderFile::kRead:
      break;
    case FolderFile::kMissing:
      return true;  // folders of earlier versions
    default:
      error = where + ": " + reason;
      return false;
  }
  bool repaired = false;
  if (!ParseBoundedJson(text, kRunInfoLimits.depth, out.run, repaired,
                        reason)) {
    error = where + ": " + reason;
    return false;
  }
  if (!out.run.is_object()) {
    error = where + " is not a JSON object";
    return false;
  }
  return true;
}

}  // namespace

bool ReadRunFolder(const std::string& folder, RunFolder& out,
                   std::string& error) {
  out = RunFolder{};
  out.path = folder;
  // A run that did not finish is told by its journal.
  if (ReadUnfinishedRun(folder, out, error)) return error.empty();
  return ReadReport(folder, out, error) && ReadRunJson(folder, out, error);
}

bool WriteJsonFile(const std::string& path, const Json& value) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
      << "\n";
  out.close();
  return static_cast<bool>(out);
}

}  // namespace modflash::fleet
