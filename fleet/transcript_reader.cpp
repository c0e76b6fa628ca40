#include "fleet/transcript_reader.h"

#include <vector>

#include "contract/output_lines.h"

namespace modflash::fleet {
namespace {

namespace out = modflash::output;

bool StartsWith(const std::string& text, const std::string& head) {
  return text.compare(0, head.size(), head) == 0;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    pos = end + 1;
  }
  return lines;
}

// Removes the progress display's marks from the front of a line: a line
// marker such as "0X00404000 ", then any stars and refusal marks.
std::string WithoutMarks(const std::string& line) {
  size_t pos = 0;
  if (line.size() >= out::kMarkerLength &&
      StartsWith(line, out::kMarkerStart) &&
      line[out::kMarkerLength - 1] == ' ') {
    pos = out::kMarkerLength;
  }
  while (pos < line.size() &&
         (line[pos] == out::kStar || line[pos] == out::kRefusalMark)) {
    ++pos;
  }
  return line.substr(pos);
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Whether a line (marks removed) holds one of the failure texts that
// modflash, its controller or its link print when something goes wrong.
bool IsDiagnostic(const std::string& line) {
  for (const out::Diagnostic& d : out::kDiagnostics) {
    if (line.find(d.text) != std::string::npos &&
        (d.end == nullptr || EndsWith(line, d.end))) {
      return true;
    }
  }
  return false;
}

std::string After(const std::string& line, const std::string& head) {
  return line.substr(head.size());
}

// Counts the ". " marks at the start of a restart wait's line.
int LeadingMarks(const std::string& line) {
  int marks = 0;
  size_t pos = 0;
  const std::string mark = out::kWaitMark;
  while (line.compare(pos, mark.size(), mark) == 0) {
    ++marks;
    pos += mark.size();
  }
  return marks;
}

// Counts the refusal marks in a piece of the transfer, leaving out the "#"
// of an "Error #" code in a link diagnostic.
int RefusalMarks(const std::string& line) {
  const std::string number = out::kErrorNumber;
  const size_t before = number.size() - 1;  // what precedes its "#"
  int marks = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != out::kRefusalMark) continue;
    if (i >= before && line.compare(i - before, number.size(), number) == 0) {
      continue;
    }
    ++marks;
  }
  return marks;
}

}  // namespace

TranscriptFacts ReadTranscript(const std::string& text) {
  TranscriptFacts facts;
  const std::vector<std::string> lines = SplitLines(text);
  bool inTransfer = false;
  bool updateDone = false;  // the update's completion line was seen
  int waitMarks = -1;       // ". " marks of the wait after the update
  for (const std::string& raw : lines) {
    const std::string line = WithoutMarks(raw);
    if (line.find_first_not_of(" \t") != std::string::npos) {
      facts.lastLine = line;
    } else if (raw.find_first_not_of(" \t") != std::string::npos) {
      facts.lastLine = raw;  // a progress line cut short
    }
    if (facts.firstErrorLine.empty() && IsDiagnostic(line)) {
      facts.firstErrorLine = line;
    }
    if (StartsWith(line, out::kFileVersion)) {
      facts.fileVersion = After(line, out::kFileVersion);
    } else if (StartsWith(line, out::kVersionBefore)) {
      facts.versionBefore = After(line, out::kVersionBefore);
    } else if (line == out::kVersionAfterUnknown) {
      facts.answeredAfterUpdate = false;  // no version was read at all
    } else if (StartsWith(line, out::kVersionAfter)) {
      facts.versionAfter = After(line, out::kVersionAfter);
      if (waitMarks >= 0) facts.answeredAfterUpdate = waitMarks < 28;
    } else if (StartsWith(line, out::kCurrentRate)) {
      facts.initialBaud = After(line, out::kCurrentRate);
    }

    if (line == out::kEnterLine) {
      inTransfer = true;
      facts.refusedTries = 0;
    } else if (line == out::kEnterFailed) {
      inTransfer = false;
      facts.refusedTries.reset();
    } else if (StartsWith(line, out::kAllSent) ||
               line == out::kTransferNotConfirmed) {
      inTransfer = false;
    } else if (inTransfer) {
      *facts.refusedTries += RefusalMarks(raw);
    }

    if (line == out::kWritten || line == out::kDryRunDone) {
      updateDone = true;
    } else if (updateDone && StartsWith(line, out::kWaitStart)) {
      waitMarks = LeadingMarks(After(line, out::kWaitStart));
    } else if (updateDone && waitMarks >= 0 && facts.versionAfter.empty()) {
      waitMarks += LeadingMarks(line);
    }
  }
  return facts;
}

void ProgressTracker::Consume(const std::string& chunk) {
  for (const char c : chunk) {
    if (c == '\n') {
      LineDone();
      line_.clear();
      continue;
    }
    if (inTransfer_ && c == out::kStar) {
      ++stars_;
    } else if (line_.size() < 120) {
      line_.push_back(c);
    }
  }
}

int ProgressTracker::Percent() const {
  return stars_ >= kTransferStars ? 100 : stars_ * 100 / kTransferStars;
}

void ProgressTracker::LineDone() {
  if (!line_.empty() && line_.back() == '\r') line_.pop_back();
  static const struct {
    const char* head;
    const char* phase;
  } kPhases[] = {
      {out::kConnected, "probing"},
      {out::kCurrentRate, "baud rate"},
      {out::kResetting, "restart wait"},
      {out::kVersionBefore, "update mode"},
      {out::kEnterLine, "transfer"},
      {out::kCompleteLine, "completing"},
      {out::kVersionAfter, "final baud rate"},
  };
  for (const auto& p : kPhases) {
    if (StartsWith(line_, p.head)) {
      phase_ = p.phase;
      inTransfer_ = phase_ == kPhases[4].phase;
    }
  }
}

}  // namespace modflash::fleet
