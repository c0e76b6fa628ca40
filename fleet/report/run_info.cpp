#include "fleet/report/run_info.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <map>
#include <utility>

#include "fleet/report/fields.h"
#include "fleet/report/json_lines.h"
#include "fleet/report/record.h"
#include "fleet/system/folder_file.h"
#include "fleet/system/terminal.h"
#include "fleet/text/text.h"

#ifndef MODFLASH_FLEET_VERSION
#error "the build defines MODFLASH_FLEET_VERSION"
#endif

namespace modflash::fleet {
namespace {

// Every outcome a report can hold, in the order counts are shown.
constexpr Outcome kOutcomeOrder[] = {
    Outcome::kUpdated,        Outcome::kDryRunOk,    Outcome::kAlreadyCurrent,
    Outcome::kNewerThanImage, Outcome::kAnswered,    Outcome::kNoModuleAnswer,
    Outcome::kUnreachable,    Outcome::kFailed,      Outcome::kNotStarted};

std::vector<std::string> BaseOutcomes(const std::string& kind) {
  std::vector<Outcome> base;
  if (kind == RunKindName(RunKind::kProgram)) {
    base = {Outcome::kUpdated, Outcome::kFailed, Outcome::kNotStarted};
  } else if (kind == RunKindName(RunKind::kDryRun)) {
    base = {Outcome::kDryRunOk, Outcome::kFailed, Outcome::kNotStarted};
  } else if (kind == RunKindName(RunKind::kAudit)) {
    base = {Outcome::kAnswered, Outcome::kNoModuleAnswer, Outcome::kUnreachable,
            Outcome::kNotStarted};
  }
  std::vector<std::string> names;
  for (Outcome o : base) names.push_back(OutcomeName(o));
  return names;
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

std::optional<long long> Whole(const Json& record, const char* field) {
  const auto it = record.find(field);
  if (it == record.end() || !it->is_number_integer()) return std::nullopt;
  return it->get<long long>();
}

Json CountOutcomes(const std::string& kind, const std::vector<Json>& records) {
  std::map<std::string, int> seen;
  for (const Json& r : records) ++seen[Text(r, field::kOutcome)];
  const std::vector<std::string> base = BaseOutcomes(kind);
  Json counts = Json::object();
  for (Outcome o : kOutcomeOrder) {
    const std::string outcome = OutcomeName(o);
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
    counts[outcome.empty() ? OutcomeName(Outcome::kUnknown) : outcome] = count;
  }
  return counts;
}

std::vector<SiteRecords> BySite(const std::vector<Json>& records) {
  std::vector<SiteRecords> sites;
  std::map<std::string, size_t> index;
  for (const Json& r : records) {
    const std::string site = Text(r, field::kSite);
    const auto [it, added] = index.emplace(site, sites.size());
    if (added) sites.push_back({site, {}});
    sites[it->second].records.push_back(r);
  }
  return sites;
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
  info[run_key::kTool] = "modflash-fleet";
  info[run_key::kToolVersion] = FleetVersion();
  info[run_key::kModflashVersion] =
      run.modflashBeside ? Json(FleetVersion()) : Json(nullptr);
  info[run_key::kKind] = run.kind;
  info[run_key::kCommandLine] = run.commandLine;
  info[run_key::kStartTime] = NullIfEmpty(run.startTime);
  info[run_key::kEndTime] = NullIfEmpty(run.endTime);
  Json image = nullptr;
  if (run.images) {
    if (run.images->size() == 1) image = run.images->front();
  } else if (!run.imageFile.empty()) {
    image = {{run_key::kFile, run.imageFile},
             {run_key::kVersion, NullIfEmpty(run.imageVersion)},
             {run_key::kSha256, NullIfEmpty(run.imageSha256)}};
  }
  info[run_key::kImage] = image;
  if (run.images) info[run_key::kImages] = *run.images;
  info[run_key::kSite] = NullIfEmpty(run.site);
  info[run_key::kRetryOf] = NullIfEmpty(run.retryOf);
  info[run_key::kWaves] = run.waves.empty() ? Json(nullptr) : Json(run.waves);
  info[run_key::kStopped] = NullIfEmpty(run.stopped);
  if (run.holds) {
    Json holds = Json::array();
    for (const HoldEvent& h : *run.holds) {
      holds.push_back({{run_key::kEvent, h.event},
                       {run_key::kTime, h.time},
                       {run_key::kBy, h.by}});
    }
    info[run_key::kHolds] = holds;
  }
  info[run_key::kCounts] = CountOutcomes(run.kind, records);
  for (const auto& [key, value] : run.more.items()) info[key] = value;
  return info;
}

namespace {

// report.jsonl's records, the lines left out or repaired named.
bool ReadReport(const std::string& folder, RunFolder& out, std::string& error) {
  const std::string where = folder + "/report.jsonl";
  std::string text;
  std::string reason;
  switch (ReadFolderFile(folder, "report.jsonl", kReportLimits.fileBytes, text,
                         reason)) {
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

namespace {

std::string TextAsWritten(const std::string& text) {
  if (ValidUtf8(text) == text) return text;
  return Json::parse(Json(text).dump(-1, ' ', false,
                                     nlohmann::json::error_handler_t::replace))
      .get<std::string>();
}

}  // namespace

Json AsWritten(const Json& value) {
  if (value.is_string()) return TextAsWritten(value.get<std::string>());
  if (value.is_array()) {
    Json list = Json::array();
    for (const Json& item : value) list.push_back(AsWritten(item));
    return list;
  }
  if (!value.is_object()) return value;
  Json object = Json::object();
  for (const auto& [key, item] : value.items()) {
    object[TextAsWritten(key)] = AsWritten(item);
  }
  return object;
}

bool WriteJsonFile(const std::string& path, const Json& value) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
      << "\n";
  out.close();
  return static_cast<bool>(out);
}

}  // namespace modflash::fleet
