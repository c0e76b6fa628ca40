#include "fleet/run/resume.h"

#include <chrono>
#include <filesystem>
#include <thread>

#include "contract/output_lines.h"
#include "fleet/run/running.h"
#include "fleet/system/durable.h"
#include "fleet/text/text.h"
#include "fleet/transcript/judgement.h"
#include "fleet/transcript/transcript_reader.h"

namespace modflash::fleet {
namespace {

namespace fs = std::filesystem;

// Transcripts larger than this are no modflash run's.
constexpr uintmax_t kMaxTranscriptBytes = 16u << 20;

bool LineIs(const std::string& line, const char* start, const char* end) {
  const std::string s(start), e(end);
  return line.size() >= s.size() + e.size() &&
         line.compare(0, s.size(), s) == 0 &&
         line.compare(line.size() - e.size(), e.size(), e) == 0;
}

// "updated": the success verdict; "failed": the unconfirmed one or a
// failure line; "" when the transcript tells neither.
std::string Ending(const std::string& transcript,
                   const TranscriptFacts& facts) {
  std::string verdict;
  size_t at = 0;
  while (at < transcript.size()) {
    size_t end = transcript.find('\n', at);
    if (end == std::string::npos) end = transcript.size();
    std::string line = transcript.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (LineIs(line, output::kVerdictStart, output::kUpdated)) {
      verdict = OutcomeName(Outcome::kUpdated);
    } else if (LineIs(line, output::kVerdictStart, output::kUnconfirmed) ||
               line.rfind(output::kMismatch, 0) == 0) {
      verdict = OutcomeName(Outcome::kFailed);
    }
    at = end + 1;
  }
  if (verdict.empty() && !facts.firstErrorLine.empty()) {
    verdict = OutcomeName(Outcome::kFailed);
  }
  return verdict;
}

}  // namespace

ReaderRecord JudgeOrphan(const Reader& reader, const ReaderTrace& trace,
                         const std::string& transcript, bool dryRun) {
  const std::string ending = Ending(transcript, ReadTranscript(transcript));
  if (ending.empty()) return InFlightRecord(reader, trace);
  ReaderRecord record;
  record.reader = reader;
  process::ChildExit exit;
  const bool updated = ending == OutcomeName(Outcome::kUpdated);
  exit.exited = updated;
  exit.status = 0;
  JudgeRun(transcript, exit, false, dryRun, record);
  if (!updated) record.exitStatus.reset();
  record.exitStatusRaw.reset();  // not known: the program was not ours
  record.logFile = trace.logFile;
  record.startTime = trace.startTime;
  record.endTime = IsoTimeNow();
  if (trace.wave > 0) record.wave = trace.wave;
  return record;
}

namespace {

void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(200)); }

// The transcript a start entry names, read as a file of the run folder;
// empty when it cannot be.
std::string TranscriptOf(const std::string& folder, const ReaderTrace& trace) {
  std::string text;
  std::string error;
  if (trace.logFile.empty() ||
      trace.logFile.find_first_of("/\\") != std::string::npos ||
      !ReadRunFile(folder, trace.logFile, kMaxTranscriptBytes, text, error)) {
    text.clear();
  }
  return text;
}

// A start entry that no process id followed: the fleet ended before or
// just after the program started. A program that runs writes its first
// lines before it reaches its reader.
Orphan AwaitUnknownProcess(const std::string& folder, const std::string& name,
                           const ReaderTrace& trace, std::ostream& out,
                           const OrphanWaits& waits) {
  if (trace.logFile.empty() ||
      trace.logFile.find_first_of("/\\") != std::string::npos) {
    return Orphan::kEnded;  // no transcript of the folder: judged unknown
  }
  const fs::path path = fs::path(folder) / trace.logFile;
  auto since = SteadyClock::now();
  for (;;) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    // The transcript is opened before its program starts.
    if (!fs::exists(status)) return Orphan::kNeverRan;
    if (!fs::is_regular_file(status)) return Orphan::kEnded;
    const uintmax_t size = fs::file_size(path, ec);
    if (ec) return Orphan::kEnded;
    if (size > 0) break;
    if (SecondsSince(since) > waits.emptySeconds) return Orphan::kNeverRan;
    Pause();
  }
  out << "Waiting for the update of " << Shown(name)
      << " that the earlier run left running (its process id is not known).\n"
      << std::flush;
  size_t lastSize = 0;
  since = SteadyClock::now();
  for (;;) {
    const std::string text = TranscriptOf(folder, trace);
    if (!Ending(text, ReadTranscript(text)).empty()) return Orphan::kEnded;
    if (text.size() != lastSize) {
      lastSize = text.size();
      since = SteadyClock::now();
    } else if (SecondsSince(since) > waits.unknownSilentSeconds) {
      return Orphan::kEnded;
    }
    Pause();
  }
}

}  // namespace

Orphan AwaitOrphan(const std::string& folder, const std::string& name,
                   const ReaderTrace& trace, std::ostream& out,
                   const OrphanWaits& waits) {
  if (trace.pid <= 0)
    return AwaitUnknownProcess(folder, name, trace, out, waits);
  const fs::path transcript = fs::path(folder) / trace.logFile;
  bool told = false;
  auto lastGrowth = SteadyClock::now();
  uintmax_t lastSize = 0;
  while (ProcessRuns(trace.pid)) {
    if (!told) {
      out << "Waiting for the update of " << Shown(name) << " (process "
          << trace.pid << ") that the earlier run left running.\n"
          << std::flush;
      told = true;
    }
    std::error_code ec;
    const uintmax_t size = fs::file_size(transcript, ec);
    if (!ec && size != lastSize) {
      lastSize = size;
      lastGrowth = SteadyClock::now();
    }
    if (SecondsSince(lastGrowth) > waits.silentSeconds) {
      return Orphan::kStillRuns;
    }
    Pause();
  }
  return Orphan::kEnded;
}

bool KeptRecords(const std::string& folder, const std::vector<Reader>& readers,
                 const JournalRead& read, bool dryRun, Journal& journal,
                 std::vector<std::optional<ReaderRecord>>& kept,
                 std::ostream& out, const OrphanWaits& waits) {
  kept.assign(readers.size(), std::nullopt);
  for (size_t i = 0; i < readers.size(); ++i) {
    const ReaderTrace& t = read.readers[i];
    if (t.ended) {
      kept[i] = RecordFromJson(t.record);
      continue;
    }
    if (!t.started) continue;
    const Orphan orphan = AwaitOrphan(folder, readers[i].name, t, out, waits);
    if (orphan == Orphan::kNeverRan) {
      out << Shown(readers[i].name) << ": the earlier run had not started its "
          << Shown(t.step) << "; it starts as planned.\n";
      continue;
    }
    if (t.step != kStepUpdate) continue;  // changed nothing: starts again
    const bool ended = orphan == Orphan::kEnded;
    const std::string transcript = TranscriptOf(folder, t);
    kept[i] = ended ? JudgeOrphan(readers[i], t, transcript, dryRun)
                    : InFlightRecord(readers[i], t);
    out << Shown(readers[i].name) << ": its update of the earlier run "
        << (ended ? "ended" : "still runs") << "; "
        << OutcomeName(kept[i]->outcome) << ", from its transcript "
        << Shown(t.logFile) << ".\n";
    if (!journal.Ended(i, *kept[i])) return false;
  }
  return true;
}

}  // namespace modflash::fleet
