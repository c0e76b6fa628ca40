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

bool WaitForOrphan(const std::string& folder, const std::string& name,
                   const ReaderTrace& trace, std::ostream& out) {
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
    if (SecondsSince(lastGrowth) > kOrphanWaitSeconds) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return true;
}

bool KeptRecords(const std::string& folder, const std::vector<Reader>& readers,
                 const JournalRead& read, bool dryRun, Journal& journal,
                 std::vector<std::optional<ReaderRecord>>& kept,
                 std::ostream& out) {
  kept.assign(readers.size(), std::nullopt);
  for (size_t i = 0; i < readers.size(); ++i) {
    const ReaderTrace& t = read.readers[i];
    if (t.ended) {
      kept[i] = RecordFromJson(t.record);
      continue;
    }
    if (!t.started) continue;
    const bool ended = WaitForOrphan(folder, readers[i].name, t, out);
    if (t.step != kStepUpdate) continue;  // changed nothing: starts again
    std::string transcript;
    std::string error;
    if (t.logFile.find_first_of("/\\") != std::string::npos ||
        !ReadRunFile(folder, t.logFile, kMaxTranscriptBytes, transcript,
                        error)) {
      transcript.clear();
    }
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
