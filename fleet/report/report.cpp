#include "fleet/report/report.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <utility>

namespace modflash::fleet {
namespace {

using Json = nlohmann::ordered_json;

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

std::string YesNo(const std::optional<bool>& value) {
  return value ? (*value ? "yes" : "no") : "";
}

template <typename T>
std::string Number(const std::optional<T>& value) {
  return value ? std::to_string(*value) : "";
}

Json PhasesJson(const std::vector<PhaseSpan>& phases) {
  Json list = Json::array();
  for (const PhaseSpan& p : phases) {
    list.push_back({{"phase", p.phase},
                    {"start", std::round(p.start * 10) / 10},
                    {"end", std::round(p.end * 10) / 10}});
  }
  return list;
}

}  // namespace

std::string ShownWhere(const Reader& reader) {
  return Shown(reader.host.empty() ? reader.address : reader.host) + ":" +
         std::to_string(reader.port);
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kUpdated:
      return "updated";
    case Outcome::kDryRunOk:
      return "dry-run-ok";
    case Outcome::kAlreadyCurrent:
      return "already-current";
    case Outcome::kFailed:
      return "failed";
    case Outcome::kAnswered:
      return "answered";
    case Outcome::kNoModuleAnswer:
      return "no-module-answer";
    case Outcome::kUnreachable:
      return "unreachable";
    case Outcome::kUnknown:
      return "unknown";
    case Outcome::kNotStarted:
      break;
  }
  return "not-started";
}

bool Succeeded(Outcome outcome) {
  return outcome == Outcome::kUpdated || outcome == Outcome::kDryRunOk ||
         outcome == Outcome::kAlreadyCurrent || outcome == Outcome::kAnswered;
}

const std::vector<std::string>& ReportFields() {
  static const std::vector<std::string> fields = {"name",
                                                  "host",
                                                  "address",
                                                  "port",
                                                  "outcome",
                                                  "exit_status",
                                                  "exit_status_raw",
                                                  "file_version",
                                                  "image_sha256",
                                                  "version_before",
                                                  "version_after",
                                                  "initial_baud",
                                                  "refused_tries",
                                                  "failure_line",
                                                  "first_error",
                                                  "failure_phase",
                                                  "failure_address",
                                                  "module_state",
                                                  "next_step",
                                                  "current",
                                                  "answered_after_update",
                                                  "start_time",
                                                  "end_time",
                                                  "seconds",
                                                  "log_file",
                                                  "wave",
                                                  "site",
                                                  "run",
                                                  "note"};
  return fields;
}

bool IsNumberField(const std::string& field) {
  static const char* const kNumbers[] = {
      "port",         "exit_status",   "exit_status_raw",
      "initial_baud", "refused_tries", "seconds",
      "wave"};
  for (const char* name : kNumbers) {
    if (field == name) return true;
  }
  return false;
}

std::vector<std::string> RecordTexts(const ReaderRecord& r) {
  const TranscriptFacts& f = r.facts;
  return {r.reader.name,
          r.reader.host,
          r.reader.address,
          std::to_string(r.reader.port),
          OutcomeName(r.outcome),
          Number(r.exitStatus),
          Number(r.exitStatusRaw),
          f.fileVersion,
          r.imageSha256,
          f.versionBefore,
          f.versionAfter,
          f.initialBaud,
          Number(f.refusedTries),
          r.failureLine,
          r.firstError,
          r.failurePhase,
          r.failureAddress,
          r.moduleState,
          r.nextStep,
          YesNo(r.current),
          YesNo(f.answeredAfterUpdate),
          r.startTime,
          r.endTime,
          r.seconds ? Seconds(*r.seconds) : "",
          r.logFile,
          Number(r.wave),
          r.site,
          "",  // run: set by a merge
          r.outcome == Outcome::kUpdated && !f.outOfStep.empty()
              ? (r.reader.note.empty() ? "" : r.reader.note + "; ") +
                    f.outOfStep
              : r.reader.note};
}

namespace {

// The record as one JSON object: every field in report order, null when
// empty; typed values where the field has a type, valid UTF-8 text
// otherwise.
Json RecordObject(const ReaderRecord& r) {
  const std::vector<std::string>& names = ReportFields();
  const std::vector<std::string> texts = RecordTexts(r);
  Json object;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& text = texts[i];
    if (text.empty()) {
      object[names[i]] = nullptr;
    } else if (IsNumberField(names[i]) &&
               text.find_first_not_of("-0123456789.") == std::string::npos) {
      object[names[i]] = Json::parse(text, nullptr, false);
    } else {
      object[names[i]] = ValidUtf8(text);
    }
  }
  if (r.current) object["current"] = *r.current;
  if (r.facts.answeredAfterUpdate) {
    object["answered_after_update"] = *r.facts.answeredAfterUpdate;
  }
  if (r.seconds) object["seconds"] = std::round(*r.seconds * 10) / 10;
  if (!r.phases.empty()) object["phases"] = PhasesJson(r.phases);
  return object;
}

}  // namespace

bool WriteReport(const std::string& folder,
                 const std::vector<ReaderRecord>& records, std::string& error) {
  const std::string csvPath = folder + "/report.csv";
  const std::string jsonPath = folder + "/report.jsonl";
  std::ofstream csv(csvPath, std::ios::binary | std::ios::trunc);
  std::ofstream jsonl(jsonPath, std::ios::binary | std::ios::trunc);
  const std::vector<std::string>& names = ReportFields();
  for (size_t i = 0; i < names.size(); ++i) {
    csv << (i > 0 ? "," : "") << names[i];
  }
  csv << "\n";
  for (const ReaderRecord& r : records) {
    const std::vector<std::string> texts = RecordTexts(r);
    for (size_t i = 0; i < names.size(); ++i) {
      csv << (i > 0 ? "," : "")
          << CsvField(ValidUtf8(texts[i]), IsNumberField(names[i]));
    }
    csv << "\n";
    jsonl << RecordObject(r).dump(-1, ' ', false,
                                  nlohmann::json::error_handler_t::replace)
          << "\n";
  }
  csv.close();
  jsonl.close();
  if (!csv || !jsonl) {
    error = "cannot write the report in " + folder;
    return false;
  }
  return true;
}

nlohmann::ordered_json RecordJson(const ReaderRecord& record) {
  return RecordObject(record);
}

}  // namespace modflash::fleet
