#include "fleet/report/journal_read.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "contract/phases.h"
#include "fleet/report/fields.h"
#include "fleet/system/durable.h"
#include "fleet/system/folder_file.h"

namespace modflash::fleet {
namespace {

namespace fs = std::filesystem;

// How deep the objects and lists of `line` nest, outside its strings.
int Nesting(const std::string& line) {
  int depth = 0;
  int deepest = 0;
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '\\') ++i;
      if (c == '"') quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '{' || c == '[') {
      deepest = std::max(deepest, ++depth);
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return deepest;
}

// Takes one whole line of the journal into `out`; "" or what is wrong.
std::string TakeEntry(const std::string& line, JournalRead& out) {
  if (line.size() > kMaxJournalLine) return "longer than 1 MiB";
  if (Nesting(line) > kMaxJournalNesting) return "nested too deep";
  const Json entry = Json::parse(line, nullptr, false);
  if (!entry.is_object()) return "not a JSON object";
  const std::string event = Text(entry, field::kEntry);
  if (event == kEntryWindow || event == kEntryPause ||
      event == kEntryContinue) {
    if (event == kEntryWindow) out.waitingUntil = Text(entry, field::kUntil);
    if (event != kEntryWindow) {
      out.pausedBy = event == kEntryPause ? Text(entry, field::kBy) : "";
      if (out.holds.size() < kMaxHoldEvents) {
        out.holds.push_back(
            {event, Text(entry, field::kTime), Text(entry, field::kBy)});
      }
    }
    ++out.entries;
    return "";
  }
  if (event == kEntryConsoleClosed) {
    out.consoleClosed = Text(entry, field::kTime);
    if (out.consoleClosed.empty()) out.consoleClosed = "?";
    ++out.entries;
    return "";
  }
  const auto reader = entry.find(field::kReader);
  if (reader == entry.end() || !reader->is_number_unsigned() ||
      reader->get<size_t>() >= out.readers.size()) {
    return "names no reader of the plan";
  }
  ReaderTrace& trace = out.readers[reader->get<size_t>()];
  const std::string kind = Text(entry, field::kEntry);
  const auto pid = entry.find(field::kPid);
  // Earlier runs wrote the process id into the start entry itself.
  const long id =
      pid != entry.end() && pid->is_number_integer() ? pid->get<long>() : 0;
  if (kind == kEntryRunning) {
    if (!trace.started) return "runs before its start entry";
    trace.pid = id;
  } else if (kind == kEntryStart) {
    if (!trace.started) trace.startTime = Text(entry, field::kStartTime);
    trace.started = true;
    trace.step = Text(entry, field::kStep);
    trace.pid = id;
    trace.logFile = Text(entry, field::kLogFile);
    const auto wave = entry.find(field::kWave);
    if (wave != entry.end() && wave->is_number_integer())
      trace.wave = wave->get<int>();
  } else if (kind == kEntryEnd) {
    const auto record = entry.find(field::kRecord);
    if (record == entry.end() || !record->is_object()) return "has no record";
    trace.ended = true;
    trace.record = *record;
  } else {
    return "is no start, running or end entry";
  }
  ++out.entries;
  return "";
}

}  // namespace

bool ReadRunFile(const std::string& folder, const std::string& name,
                 uintmax_t limit, std::string& text, std::string& error) {
  std::string reason;
  const std::string path = (fs::path(folder) / name).string();
  switch (ReadFolderFile(folder, name, limit, text, reason)) {
    case FolderFile::kRead:
      return true;
    case FolderFile::kMissing:
    case FolderFile::kRefused:
      error = path + " is not a file of the run folder (" + reason + ")";
      return false;
    case FolderFile::kFailed:
      break;
  }
  error = "cannot read " + path + " (" + reason + ")";
  return false;
}

bool ReadJournal(const std::string& folder, size_t readers, JournalRead& out,
                 std::string& error) {
  out = JournalRead{};
  out.readers.resize(readers);
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(fs::path(folder) / kJournalFile, ec))) {
    return true;  // nothing started yet
  }
  std::string text;
  if (!ReadRunFile(folder, kJournalFile, kMaxJournalBytes, text, error)) {
    return false;
  }
  size_t number = 0;
  size_t at = 0;
  while (at < text.size()) {
    ++number;
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) {
      out.torn = true;  // cut off mid-write: left out
      break;
    }
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    out.wholeBytes = at;
    const bool blank = line.size() <= kMaxJournalLine &&
                       line.find_first_not_of(" \t\r") == std::string::npos;
    if (blank) continue;
    const std::string problem = TakeEntry(line, out);
    if (!problem.empty()) {
      error = folder + "/" + kJournalFile + ":" + std::to_string(number) +
              ": " + problem;
      return false;
    }
  }
  return true;
}

long LockHolder(const std::string& folder) {
  std::string text;
  std::string error;
  if (!ReadRunFile(folder, kLockFile, 64, text, error)) return 0;
  return std::strtol(text.c_str(), nullptr, 10);
}

bool RunAliveElsewhere(const std::string& folder) {
  const long pid = LockHolder(folder);
  return pid > 0 && pid != OwnProcessId() && ProcessRuns(pid);
}

}  // namespace modflash::fleet
