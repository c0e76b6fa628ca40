#include "fleet/report/report.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <type_traits>
#include <utility>
#include <variant>

#include "contract/phases.h"
#include "fleet/report/run_info.h"

namespace modflash::fleet {
namespace {

/// initial_baud: the rate as the transcript spells it, a number in JSON
/// when it is written as one.
template <typename Text>
struct RateField {
  Text& text;
};

template <typename Text>
RateField<Text> Rate(Text& text) {
  return {text};
}

/// The rate as a value holds it.
struct RateText {
  std::string text;
};

/// note: the reader's note; written with the line that says an update's
/// answers fell out of step, read back whole into the reader's note.
template <typename Record>
struct NoteField {
  Record& record;
};

/// run: a merge sets it; a record neither writes nor reads it.
struct RunField {};

/// Calls `visit(name, member)` for each field of `r` in field::kColumns
/// order: the one list that report.jsonl's writer and reader share.
template <typename Record, typename Visit>
void EachField(Record& r, Visit&& visit) {
  auto& f = r.facts;
  visit(field::kName, r.reader.name);
  visit(field::kHost, r.reader.host);
  visit(field::kAddress, r.reader.address);
  visit(field::kPort, r.reader.port);
  visit(field::kOutcome, r.outcome);
  visit(field::kExitStatus, r.exitStatus);
  visit(field::kExitStatusRaw, r.exitStatusRaw);
  visit(field::kFileVersion, f.fileVersion);
  visit(field::kImageSha256, r.imageSha256);
  visit(field::kVersionBefore, f.versionBefore);
  visit(field::kVersionAfter, f.versionAfter);
  visit(field::kInitialBaud, Rate(f.initialBaud));
  visit(field::kRefusedTries, f.refusedTries);
  visit(field::kFailureLine, r.failureLine);
  visit(field::kFirstError, r.firstError);
  visit(field::kFailurePhase, r.failurePhase);
  visit(field::kFailureAddress, r.failureAddress);
  visit(field::kModuleState, r.moduleState);
  visit(field::kNextStep, r.nextStep);
  visit(field::kCurrent, r.current);
  visit(field::kAnsweredAfterUpdate, f.answeredAfterUpdate);
  visit(field::kStartTime, r.startTime);
  visit(field::kEndTime, r.endTime);
  visit(field::kSeconds, r.seconds);
  visit(field::kLogFile, r.logFile);
  visit(field::kWave, r.wave);
  visit(field::kSite, r.site);
  visit(field::kRun, RunField{});
  visit(field::kNote, NoteField<Record>{r});
}

/// One field's value as the record holds it; empty (null) by default.
using Value = std::variant<std::monostate, std::string, long long, bool, double,
                           RateText>;

std::string Note(const ReaderRecord& r) {
  const std::string& outOfStep = r.facts.outOfStep;
  if (r.outcome != Outcome::kUpdated || outOfStep.empty()) {
    return r.reader.note;
  }
  return (r.reader.note.empty() ? "" : r.reader.note + "; ") + outOfStep;
}

/// A field's value as the writers take it.
struct ValueOf {
  Value operator()(const std::string& text) const {
    return text.empty() ? Value() : Value(text);
  }
  Value operator()(int32_t port) const { return static_cast<long long>(port); }
  Value operator()(Outcome outcome) const {
    return std::string(OutcomeName(outcome));
  }
  template <typename T>
  Value operator()(const std::optional<T>& value) const {
    if (!value) return {};
    if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, double>) {
      return *value;
    } else {
      return static_cast<long long>(*value);
    }
  }
  Value operator()(const RateField<const std::string>& rate) const {
    return rate.text.empty() ? Value() : Value(RateText{rate.text});
  }
  Value operator()(RunField) const { return {}; }
  Value operator()(const NoteField<const ReaderRecord>& note) const {
    return (*this)(Note(note.record));
  }
};

// The record's values in field::kColumns order.
std::vector<Value> Values(const ReaderRecord& r) {
  std::vector<Value> values;
  EachField(r, [&values](const char*, const auto& member) {
    values.push_back(ValueOf{}(member));
  });
  return values;
}

std::optional<bool> Flag(const Json& json, const char* name) {
  const auto it = json.find(name);
  if (it == json.end() || !it->is_boolean()) return std::nullopt;
  return it->get<bool>();
}

Outcome OutcomeOf(const std::string& name) {
  for (Outcome o :
       {Outcome::kUpdated, Outcome::kDryRunOk, Outcome::kAlreadyCurrent,
        Outcome::kFailed, Outcome::kAnswered, Outcome::kNoModuleAnswer,
        Outcome::kUnreachable, Outcome::kUnknown}) {
    if (name == OutcomeName(o)) return o;
  }
  return Outcome::kNotStarted;
}

/// Reads one field of a report line into the record's member; a field that
/// is absent or of another type leaves the member as it is.
struct ReadField {
  const Json& json;
  const char* name;

  void operator()(std::string& text) const { text = Text(json, name); }
  void operator()(int32_t& port) const {
    if (const auto p = Whole(json, name)) port = static_cast<int32_t>(*p);
  }
  void operator()(Outcome& outcome) const {
    outcome = OutcomeOf(Text(json, name));
  }
  void operator()(std::optional<int>& value) const {
    if (const auto w = Whole(json, name)) value = static_cast<int>(*w);
  }
  void operator()(std::optional<long long>& value) const {
    value = Whole(json, name);
  }
  void operator()(std::optional<bool>& value) const {
    value = Flag(json, name);
  }
  void operator()(std::optional<double>& value) const {
    const auto it = json.find(name);
    if (it != json.end() && it->is_number()) value = it->get<double>();
  }
  // Written as a number when it is one, so read back as its JSON text.
  void operator()(const RateField<std::string>& rate) const {
    const auto it = json.find(name);
    if (it == json.end()) return;
    if (it->is_string()) rate.text = it->get<std::string>();
    if (it->is_number()) rate.text = it->dump();
  }
  void operator()(RunField) const {}
  void operator()(const NoteField<ReaderRecord>& note) const {
    note.record.reader.note = Text(json, name);
  }
};

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

std::vector<PhaseSpan> PhasesOf(const Json& json) {
  std::vector<PhaseSpan> phases;
  const auto list = json.find(field::kPhases);
  if (list == json.end() || !list->is_array()) return phases;
  for (const Json& p : *list) {
    if (!p.is_object()) continue;
    const std::string name = Text(p, field::kPhase);
    for (const output::TimelinePhase& known : output::kTimeline) {
      if (name != known.name) continue;
      const auto start = p.find(field::kStart);
      const auto end = p.find(field::kEnd);
      if (start == p.end() || end == p.end() || !start->is_number() ||
          !end->is_number()) {
        break;
      }
      phases.push_back({known.name, start->get<double>(), end->get<double>()});
    }
  }
  return phases;
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

ReaderRecord RecordFromJson(const Json& json) {
  ReaderRecord r;
  EachField(r, [&json](const char* name, auto&& member) {
    ReadField{json, name}(member);
  });
  r.phases = PhasesOf(json);
  return r;
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
