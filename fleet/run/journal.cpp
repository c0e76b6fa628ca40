#include "fleet/run/journal.h"

#include <cstdio>
#include <utility>

#include "fleet/report/report.h"
#include "fleet/run/running.h"
#include "fleet/system/durable.h"

namespace modflash::fleet {

Journal::Journal(std::string folder, std::string imageSha256,
                 std::string imageVersion, std::string site)
    : folder_(std::move(folder)),
      imageSha256_(std::move(imageSha256)),
      imageVersion_(std::move(imageVersion)),
      site_(std::move(site)) {}

ReaderRecord Journal::Completed(ReaderRecord record) const {
  record.imageSha256 = imageSha256_;
  if (record.facts.fileVersion.empty())
    record.facts.fileVersion = imageVersion_;
  record.site = site_;
  return record;
}

bool Journal::Append(const Json& entry) {
  const std::string path = folder_ + "/" + kJournalFile;
  const std::string line =
      entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
      "\n";
  if (AppendDurably(path, line)) return true;
  if (unwritten_.empty()) unwritten_ = path;
  return false;
}

bool Journal::Starting(size_t index, const ReaderRecord& record,
                       const char* step) {
  Json entry = {{field::kEntry, kEntryStart},
                {field::kReader, index},
                {field::kName, record.reader.name},
                {field::kStep, step},
                {field::kLogFile, record.logFile},
                {field::kStartTime, record.startTime}};
  if (record.wave) entry[field::kWave] = *record.wave;
  return Append(entry);
}

bool Journal::Running(size_t index, long pid) {
  return Append({{field::kEntry, kEntryRunning},
                 {field::kReader, index},
                 {field::kPid, pid}});
}

bool Journal::Ended(size_t index, const ReaderRecord& record) {
  return Append({{field::kEntry, kEntryEnd},
                 {field::kReader, index},
                 {field::kRecord, RecordJson(Completed(record))}});
}

bool Journal::Waiting(const std::string& until) {
  return Append({{field::kEntry, kEntryWindow},
                 {field::kTime, LocalTimeNow()},
                 {field::kUntil, until}});
}

bool Journal::Ending() {
  return Append(
      {{field::kEntry, kEntryConsoleClosed}, {field::kTime, IsoTimeNow()}});
}

bool Journal::Held(const std::string& entry, const std::string& by) {
  return Append({{field::kEntry, entry},
                 {field::kTime, LocalTimeNow()},
                 {field::kBy, by}});
}

bool Journal::WaveEnded(const std::vector<ReaderRecord>& records) {
  std::vector<ReaderRecord> report;
  report.reserve(records.size());
  for (const ReaderRecord& r : records) report.push_back(Completed(r));
  std::string error;
  if (!WriteReport(folder_, report, error)) {
    if (unwritten_.empty()) unwritten_ = folder_ + "/report.jsonl";
    return false;
  }
  if (page_ && !page_(folder_, report, error)) {
    if (unwritten_.empty()) unwritten_ = folder_ + "/report.html";
    return false;
  }
  return true;
}

bool TakeRunLock(const std::string& folder, std::string& error) {
  const std::string path = folder + "/" + kLockFile;
  const std::string pid = std::to_string(OwnProcessId()) + "\n";
  if (CreateExclusively(path, pid)) return true;
  const long holder = LockHolder(folder);
  if (holder > 0 && holder != OwnProcessId() && ProcessRuns(holder)) {
    error = "the run of " + folder + " goes on in process " +
            std::to_string(holder) + " (see --status " + folder + ")";
    return false;
  }
  // Left by a run that ended without its end (a kill, a power loss).
  std::remove(path.c_str());
  if (CreateExclusively(path, pid)) return true;
  error = "cannot write " + path;
  return false;
}

void ReleaseRunLock(const std::string& folder) {
  if (LockHolder(folder) == OwnProcessId()) {
    std::remove((folder + "/" + kLockFile).c_str());
  }
}

bool WriteRunJson(const std::string& folder, Json info, const char* state,
                  const Json& plan) {
  info[field::kState] = state;
  info[field::kPlan] = plan;
  return ReplaceDurably(
      folder + "/run.json",
      info.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) +
          "\n");
}

bool FinishRunJson(const std::string& folder, const Json& plan,
                   std::string& error) {
  std::string text;
  if (ReadRunFile(folder, "run.json", kMaxRunJsonBytes, text, error)) {
    const Json info = Json::parse(text, nullptr, false);
    if (info.is_object() && WriteRunJson(folder, info, kStateFinished, plan)) {
      return true;
    }
  }
  error = "cannot write " + folder + "/run.json";
  return false;
}

}  // namespace modflash::fleet
