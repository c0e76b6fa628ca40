// The records of a run folder's journal: the plan's readers, the report
// record of a report line, and the report of a run that did not finish.

#include "contract/phases.h"
#include "fleet/report/journal_read.h"
#include "fleet/report/report.h"
#include "fleet/system/durable.h"

namespace modflash::fleet {

Json ReaderJson(const Reader& reader) {
  return {{field::kName, reader.name},
          {field::kHost, reader.host},
          {field::kAddress, reader.address},
          {field::kPort, reader.port},
          {field::kLine, reader.line}};
}

bool PlanReaders(const Json& run, std::vector<Reader>& readers,
                 std::string& error) {
  readers.clear();
  const auto plan = run.find(field::kPlan);
  const Json* list = nullptr;
  if (plan != run.end() && plan->is_object() &&
      plan->contains(field::kReaders)) {
    list = &(*plan)[field::kReaders];
  }
  if (list == nullptr || !list->is_array()) {
    error = "run.json has no plan of readers (not a run of this version?)";
    return false;
  }
  for (const Json& r : *list) {
    Reader reader;
    reader.name = r.is_object() ? Text(r, field::kName) : "";
    reader.host = r.is_object() ? Text(r, field::kHost) : "";
    reader.address = r.is_object() ? Text(r, field::kAddress) : "";
    // Plain numbers, 0 when absent: an optional read here makes GCC's -O3
    // warn that it may be used uninitialised.
    const long long port =
        r.is_object() ? Whole(r, field::kPort).value_or(0) : 0;
    const long long line =
        r.is_object() ? Whole(r, field::kLine).value_or(0) : 0;
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

ReaderRecord InFlightRecord(const Reader& reader, const ReaderTrace& trace) {
  ReaderRecord r;
  r.reader = reader;
  r.outcome = Outcome::kUnknown;
  r.moduleState = output::kMayLackFirmware;
  r.failurePhase = output::kPhaseInterrupted;
  r.failureLine = std::string(output::kInterruptedLine) +
                  ": the run ended while this update was in flight; its "
                  "transcript does not tell how the update ended";
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
  if (!run.is_object() || Text(run, field::kState) != kStateRunning ||
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
  for (Json& r : out.records)
    r[field::kSite] = run.value(field::kSite, Json(nullptr));
  return true;
}

}  // namespace modflash::fleet
