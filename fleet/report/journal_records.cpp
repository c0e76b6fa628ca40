// The records of a run folder's journal: the plan's readers, the report
// record of a report line, and the report of a run that did not finish.

#include "contract/phases.h"
#include "fleet/report/journal_read.h"
#include "fleet/report/report.h"
#include "fleet/system/durable.h"

namespace modflash::fleet {
namespace {

std::optional<long long> Whole(const Json& json, const char* field) {
  const auto it = json.find(field);
  if (it == json.end() || !it->is_number_integer()) return std::nullopt;
  return it->get<long long>();
}

std::optional<bool> Flag(const Json& json, const char* field) {
  const auto it = json.find(field);
  if (it == json.end() || !it->is_boolean()) return std::nullopt;
  return it->get<bool>();
}

Outcome OutcomeOf(const std::string& name) {
  for (Outcome o :
       {Outcome::kUpdated, Outcome::kDryRunOk, Outcome::kAlreadyCurrent,
        Outcome::kFailed, Outcome::kAnswered, Outcome::kNoModuleAnswer,
        Outcome::kUnreachable, Outcome::kUnknown, Outcome::kNewerThanImage}) {
    if (name == OutcomeName(o)) return o;
  }
  return Outcome::kNotStarted;
}

std::vector<PhaseSpan> PhasesOf(const Json& json) {
  std::vector<PhaseSpan> phases;
  const auto list = json.find("phases");
  if (list == json.end() || !list->is_array()) return phases;
  for (const Json& p : *list) {
    if (!p.is_object()) continue;
    const std::string name = Text(p, "phase");
    for (const output::TimelinePhase& known : output::kTimeline) {
      if (name != known.name) continue;
      const auto start = p.find("start");
      const auto end = p.find("end");
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

Json ReaderJson(const Reader& reader) {
  return {{"name", reader.name},
          {"host", reader.host},
          {"address", reader.address},
          {"port", reader.port},
          {"line", reader.line}};
}

bool PlanReaders(const Json& run, std::vector<Reader>& readers,
                 std::string& error) {
  readers.clear();
  const auto plan = run.find("plan");
  const Json* list = nullptr;
  if (plan != run.end() && plan->is_object() && plan->contains("readers")) {
    list = &(*plan)["readers"];
  }
  if (list == nullptr || !list->is_array()) {
    error = "run.json has no plan of readers (not a run of this version?)";
    return false;
  }
  for (const Json& r : *list) {
    Reader reader;
    reader.name = r.is_object() ? Text(r, "name") : "";
    reader.host = r.is_object() ? Text(r, "host") : "";
    reader.address = r.is_object() ? Text(r, "address") : "";
    // Plain numbers, 0 when absent: an optional read here makes GCC's -O3
    // warn that it may be used uninitialised.
    const long long port =
        r.is_object() ? Whole(r, "port").value_or(0) : 0;
    const long long line =
        r.is_object() ? Whole(r, "line").value_or(0) : 0;
    if (reader.name.empty() || reader.address.empty() || port < 1 ||
        port > 65535) {
      error = "run.json: reader " + std::to_string(readers.size() + 1) +
              " of the plan is malformed";
      readers.clear();
      return false;
    }
    reader.port = static_cast<int32_t>(port);
    reader.line = static_cast<int>(line);
    readers.push_back(reader);
  }
  return true;
}

ReaderRecord RecordFromJson(const Json& j) {
  ReaderRecord r;
  r.reader.name = Text(j, "name");
  r.reader.host = Text(j, "host");
  r.reader.address = Text(j, "address");
  if (const auto port = Whole(j, "port")) r.reader.port = int32_t(*port);
  r.reader.note = Text(j, "note");
  r.outcome = OutcomeOf(Text(j, "outcome"));
  if (const auto s = Whole(j, "exit_status")) r.exitStatus = int(*s);
  r.exitStatusRaw = Whole(j, "exit_status_raw");
  TranscriptFacts& f = r.facts;
  f.fileVersion = Text(j, "file_version");
  f.versionBefore = Text(j, "version_before");
  f.versionAfter = Text(j, "version_after");
  f.initialBaud = Text(j, "initial_baud");
  if (const auto t = Whole(j, "refused_tries")) f.refusedTries = int(*t);
  f.answeredAfterUpdate = Flag(j, "answered_after_update");
  r.imageSha256 = Text(j, "image_sha256");
  r.failureLine = Text(j, "failure_line");
  r.firstError = Text(j, "first_error");
  r.failurePhase = Text(j, "failure_phase");
  r.failureAddress = Text(j, "failure_address");
  r.moduleState = Text(j, "module_state");
  r.nextStep = Text(j, "next_step");
  r.current = Flag(j, "current");
  if (const auto w = Whole(j, "wave")) r.wave = int(*w);
  r.startTime = Text(j, "start_time");
  r.endTime = Text(j, "end_time");
  const auto seconds = j.find("seconds");
  if (seconds != j.end() && seconds->is_number())
    r.seconds = seconds->get<double>();
  r.logFile = Text(j, "log_file");
  r.site = Text(j, "site");
  r.phases = PhasesOf(j);
  return r;
}

ReaderRecord InFlightRecord(const Reader& reader, const ReaderTrace& trace) {
  ReaderRecord r;
  r.reader = reader;
  r.outcome = Outcome::kUnknown;
  r.moduleState = output::kMayLackFirmware;
  r.failurePhase = output::kPhaseInterrupted;
  r.failureLine =
      "the run ended while this update was in flight; its transcript does "
      "not tell how the update ended";
  r.nextStep = "update it again";
  r.logFile = trace.logFile;
  r.startTime = trace.startTime;
  if (trace.wave > 0) r.wave = trace.wave;
  return r;
}

std::vector<Json> JournalRecords(const std::vector<Reader>& readers,
                                 const JournalRead& journal) {
  std::vector<Json> records;
  for (size_t i = 0; i < readers.size(); ++i) {
    const ReaderTrace& t = journal.readers[i];
    if (t.ended) {
      records.push_back(t.record);
    } else if (t.started && t.step != kStepVersionRead) {
      records.push_back(RecordJson(InFlightRecord(readers[i], t)));
    } else {
      ReaderRecord r;
      r.reader = readers[i];
      r.moduleState = output::kUntouched;
      records.push_back(RecordJson(r));
    }
  }
  return records;
}

}  // namespace modflash::fleet

namespace modflash::fleet {

bool ReadUnfinishedRun(const std::string& folder, RunFolder& out,
                       std::string& error) {
  std::string text;
  std::string ignored;
  if (!ReadRunFile(folder, "run.json", kMaxRunJsonBytes, text, ignored)) {
    return false;
  }
  const Json run = Json::parse(text, nullptr, false);
  // The run of this process reads its own report.
  if (!run.is_object() || Text(run, "state") != kStateRunning ||
      LockHolder(folder) == OwnProcessId()) {
    return false;
  }
  std::vector<Reader> readers;
  JournalRead journal;
  if (!PlanReaders(run, readers, error) ||
      !ReadJournal(folder, readers.size(), journal, error)) {
    error = folder + ": " + error;
    return true;
  }
  out.run = run;
  out.records = JournalRecords(readers, journal);
  for (Json& r : out.records) r["site"] = run.value("site", Json(nullptr));
  return true;
}

}  // namespace modflash::fleet
