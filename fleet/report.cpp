#include "fleet/report.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <utility>

namespace modflash::fleet {

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted.push_back('"');
    quoted.push_back(c);
  }
  return quoted + "\"";
}

namespace {

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

nlohmann::ordered_json PhasesJson(const std::vector<PhaseSpan>& phases) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const PhaseSpan& p : phases) {
    list.push_back({{"phase", p.phase},
                    {"start", std::round(p.start * 10) / 10},
                    {"end", std::round(p.end * 10) / 10}});
  }
  return list;
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kUpdated:
      return "updated";
    case Outcome::kDryRunOk:
      return "dry-run-ok";
    case Outcome::kFailed:
      return "failed";
    case Outcome::kNotStarted:
      break;
  }
  return "not-started";
}

const std::vector<std::string>& ReportFields() {
  static const std::vector<std::string> fields = {"name",
                                                  "address",
                                                  "port",
                                                  "outcome",
                                                  "exit_status",
                                                  "file_version",
                                                  "version_before",
                                                  "version_after",
                                                  "initial_baud",
                                                  "refused_tries",
                                                  "failure_line",
                                                  "first_error",
                                                  "answered_after_update",
                                                  "start_time",
                                                  "end_time",
                                                  "seconds",
                                                  "log_file",
                                                  "site",
                                                  "run"};
  return fields;
}

std::vector<std::string> RecordTexts(const ReaderRecord& r) {
  const TranscriptFacts& f = r.facts;
  return {r.reader.name,
          r.reader.address,
          std::to_string(r.reader.port),
          OutcomeName(r.outcome),
          r.exitStatus ? std::to_string(*r.exitStatus) : "",
          f.fileVersion,
          f.versionBefore,
          f.versionAfter,
          f.initialBaud,
          f.refusedTries ? std::to_string(*f.refusedTries) : "",
          r.failureLine,
          r.firstError,
          f.answeredAfterUpdate ? (*f.answeredAfterUpdate ? "yes" : "no") : "",
          r.startTime,
          r.endTime,
          r.seconds ? Seconds(*r.seconds) : "",
          r.logFile,
          r.site,
          ""};  // run: set by a merge
}

namespace {

// The record as one JSON object: every field in report order, null when
// empty; typed values where the field has a type, text as it stands
// otherwise.
nlohmann::ordered_json RecordObject(const ReaderRecord& r) {
  nlohmann::ordered_json object;
  for (const std::string& name : ReportFields()) object[name] = nullptr;
  object["name"] = r.reader.name;
  object["address"] = r.reader.address;
  object["port"] = r.reader.port;
  object["outcome"] = OutcomeName(r.outcome);
  if (r.exitStatus) object["exit_status"] = *r.exitStatus;
  const std::vector<std::pair<const char*, const std::string*>> textFields = {
      {"file_version", &r.facts.fileVersion},
      {"version_before", &r.facts.versionBefore},
      {"version_after", &r.facts.versionAfter},
      {"failure_line", &r.failureLine},
      {"first_error", &r.firstError},
      {"start_time", &r.startTime},
      {"end_time", &r.endTime},
      {"log_file", &r.logFile},
      {"site", &r.site}};
  for (const auto& [name, text] : textFields) {
    if (!text->empty()) object[name] = *text;
  }
  if (!r.facts.initialBaud.empty()) {
    const std::string& baud = r.facts.initialBaud;
    if (baud.size() <= 10 &&
        baud.find_first_not_of("0123456789") == std::string::npos) {
      object["initial_baud"] = std::stoll(baud);
    } else {
      object["initial_baud"] = baud;
    }
  }
  if (r.facts.refusedTries) object["refused_tries"] = *r.facts.refusedTries;
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
      csv << (i > 0 ? "," : "") << CsvField(texts[i]);
    }
    csv << "\n";
    // Invalid UTF-8 in a transcript line is replaced, never fatal.
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
