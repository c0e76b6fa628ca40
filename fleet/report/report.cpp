#include "fleet/report/report.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <type_traits>
#include <utility>
#include <variant>

namespace modflash::fleet {
namespace {

using Json = nlohmann::ordered_json;

/// initial_baud: the rate as the transcript spells it, a number in JSON
/// when it is written as one.
struct RateText {
  std::string text;
};

/// One field's value as the record holds it; empty (null) by default.
using Value = std::variant<std::monostate, std::string, long long, bool, double,
                           RateText>;

template <typename T>
Value Optional(const std::optional<T>& value) {
  if (!value) return {};
  if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, double>) {
    return *value;
  } else {
    return static_cast<long long>(*value);
  }
}

Value TextValue(const std::string& text) {
  return text.empty() ? Value() : Value(text);
}

std::string Note(const ReaderRecord& r) {
  const std::string& outOfStep = r.facts.outOfStep;
  if (r.outcome != Outcome::kUpdated || outOfStep.empty()) {
    return r.reader.note;
  }
  return (r.reader.note.empty() ? "" : r.reader.note + "; ") + outOfStep;
}

// The record's values in field::kColumns order.
std::vector<Value> Values(const ReaderRecord& r) {
  const TranscriptFacts& f = r.facts;
  return {TextValue(r.reader.name),
          TextValue(r.reader.host),
          TextValue(r.reader.address),
          static_cast<long long>(r.reader.port),
          std::string(OutcomeName(r.outcome)),
          Optional(r.exitStatus),
          Optional(r.exitStatusRaw),
          TextValue(f.fileVersion),
          TextValue(r.imageSha256),
          TextValue(f.versionBefore),
          TextValue(f.versionAfter),
          f.initialBaud.empty() ? Value() : Value(RateText{f.initialBaud}),
          Optional(f.refusedTries),
          TextValue(r.failureLine),
          TextValue(r.firstError),
          TextValue(r.failurePhase),
          TextValue(r.failureAddress),
          TextValue(r.moduleState),
          TextValue(r.nextStep),
          Optional(r.current),
          Optional(f.answeredAfterUpdate),
          TextValue(r.startTime),
          TextValue(r.endTime),
          Optional(r.seconds),
          TextValue(r.logFile),
          Optional(r.wave),
          TextValue(r.site),
          Value(),  // run: set by a merge
          TextValue(Note(r))};
}

double Tenths(double seconds) { return std::round(seconds * 10) / 10; }

struct JsonOf {
  Json operator()(std::monostate) const { return nullptr; }
  Json operator()(const std::string& text) const { return ValidUtf8(text); }
  Json operator()(long long number) const { return number; }
  Json operator()(bool yes) const { return yes; }
  Json operator()(double seconds) const { return Tenths(seconds); }
  Json operator()(const RateText& rate) const {
    if (rate.text.find_first_not_of("-0123456789.") == std::string::npos) {
      Json number = Json::parse(rate.text, nullptr, false);
      if (number.is_number()) return number;
    }
    return ValidUtf8(rate.text);
  }
};

struct CellOf {
  CsvCell operator()(std::monostate) const { return {}; }
  CsvCell operator()(const std::string& text) const { return {text, false}; }
  CsvCell operator()(long long number) const {
    return {std::to_string(number), true};
  }
  CsvCell operator()(bool yes) const { return {yes ? "yes" : "no", false}; }
  CsvCell operator()(double seconds) const {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return {text, true};
  }
  CsvCell operator()(const RateText& rate) const { return {rate.text, true}; }
};

Json PhasesJson(const std::vector<PhaseSpan>& phases) {
  Json list = Json::array();
  for (const PhaseSpan& p : phases) {
    list.push_back({{field::kPhase, p.phase},
                    {field::kStart, Tenths(p.start)},
                    {field::kEnd, Tenths(p.end)}});
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
    case Outcome::kNewerThanImage:
      return "newer-than-image";
    case Outcome::kNotStarted:
      break;
  }
  return "not-started";
}

bool Succeeded(Outcome outcome) {
  return outcome == Outcome::kUpdated || outcome == Outcome::kDryRunOk ||
         outcome == Outcome::kAlreadyCurrent || outcome == Outcome::kAnswered ||
         outcome == Outcome::kNewerThanImage;
}

const std::vector<std::string>& ReportFields() {
  static const std::vector<std::string> fields(std::begin(field::kColumns),
                                               std::end(field::kColumns));
  return fields;
}

std::vector<CsvCell> RecordCells(const ReaderRecord& record) {
  std::vector<CsvCell> cells;
  for (const Value& value : Values(record)) {
    cells.push_back(std::visit(CellOf{}, value));
  }
  return cells;
}

std::vector<CsvCell> JsonCells(const Json& record,
                               const std::vector<std::string>& fields) {
  std::vector<CsvCell> cells;
  for (const std::string& name : fields) {
    const auto it = record.find(name);
    CsvCell cell;
    if (it == record.end()) {
    } else if (it->is_string()) {
      cell.text = it->get<std::string>();
    } else if (it->is_boolean()) {
      cell.text = it->get<bool>() ? "yes" : "no";
    } else if (it->is_number()) {
      cell = {it->dump(), true};
    }
    cells.push_back(std::move(cell));
  }
  return cells;
}

void WriteCsv(std::ostream& out, const std::vector<std::string>& fields,
              const std::vector<std::vector<CsvCell>>& rows) {
  for (size_t i = 0; i < fields.size(); ++i) {
    out << (i > 0 ? "," : "") << fields[i];
  }
  out << "\n";
  for (const std::vector<CsvCell>& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) {
      out << (i > 0 ? "," : "")
          << CsvField(ValidUtf8(row[i].text), row[i].number);
    }
    out << "\n";
  }
}

Json RecordJson(const ReaderRecord& record) {
  const std::vector<Value> values = Values(record);
  Json object = Json::object();
  for (size_t i = 0; i < values.size(); ++i) {
    object[field::kColumns[i]] = std::visit(JsonOf{}, values[i]);
  }
  if (!record.phases.empty()) {
    object[field::kPhases] = PhasesJson(record.phases);
  }
  return object;
}

void WriteJsonl(std::ostream& out, const std::vector<Json>& records) {
  for (const Json& r : records) {
    out << r.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
        << "\n";
  }
}

bool WriteReport(const std::string& folder,
                 const std::vector<ReaderRecord>& records, std::string& error) {
  std::vector<std::vector<CsvCell>> rows;
  std::vector<Json> objects;
  for (const ReaderRecord& r : records) {
    rows.push_back(RecordCells(r));
    objects.push_back(RecordJson(r));
  }
  std::ofstream csv(folder + "/report.csv", std::ios::binary | std::ios::trunc);
  std::ofstream jsonl(folder + "/report.jsonl",
                      std::ios::binary | std::ios::trunc);
  WriteCsv(csv, ReportFields(), rows);
  WriteJsonl(jsonl, objects);
  csv.close();
  jsonl.close();
  if (!csv || !jsonl) {
    error = "cannot write the report in " + folder;
    return false;
  }
  return true;
}

}  // namespace modflash::fleet
