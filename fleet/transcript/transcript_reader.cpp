#include "fleet/transcript/transcript_reader.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "contract/output_lines.h"
#include "contract/phases.h"

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

// A line that says nothing about how the run went: the connection closed
// slowly after the run had ended.
bool IsHarmless(const std::string& line) {
  return line == out::kShutdownFailed;
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

// A line without the restart wait's marks: the wait's opening words and
// its ". " marks go when something follows them on the line, and a line of
// marks alone becomes the opening words (or nothing).
std::string WithoutWaitMarks(const std::string& line) {
  std::string rest =
      line.substr(std::min(line.find_first_not_of(' '), line.size()));
  const bool opening = StartsWith(rest, out::kWaitStart);
  if (opening) rest = After(rest, out::kWaitStart);
  const size_t marks = static_cast<size_t>(LeadingMarks(rest));
  rest.erase(0, marks * std::string(out::kWaitMark).size());
  while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) {
    rest.pop_back();
  }
  if (!rest.empty() || !opening) return rest;
  std::string words = out::kWaitStart;
  words.pop_back();  // its blank
  return words;
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

std::string FlashAddress(unsigned long long address) {
  char text[24];  // "0x" and up to 16 digits
  std::snprintf(text, sizeof text, "0x%08llX", address);
  return text;
}

// The decimal number at the start of `text`, or -1.
long long LeadingNumber(const std::string& text) {
  size_t digits = 0;
  while (digits < text.size() && digits < 10 &&
         std::isdigit(static_cast<unsigned char>(text[digits]))) {
    ++digits;
  }
  return digits == 0 ? -1 : std::stoll(text.substr(0, digits));
}

// Reads a transcript line by line into its facts.
class TranscriptScan {
 public:
  TranscriptFacts Read(const std::string& text) {
    for (const std::string& raw : SplitLines(text)) {
      const std::string line = WithoutMarks(raw);
      Text(line);
      Versions(line);
      Transfer(raw, line);
      Step(line);
    }
    if (!connected_) facts_.phase = out::kPhaseConnect;
    if (facts_.enteredUpdateMode) facts_.transferAddress = TransferAddress();
    return facts_;
  }

 private:
  // The last line and the first error, without marks of any kind.
  void Text(const std::string& line) {
    const std::string clean = WithoutWaitMarks(line);
    if (clean.empty() || IsHarmless(clean)) return;
    facts_.lastLine = clean;
    const bool diagnostic = IsDiagnostic(clean);
    if (diagnostic && facts_.firstErrorLine.empty()) {
      facts_.firstErrorLine = clean;
    }
    if (diagnostic) lastDiagnostic_ = clean;
  }

  void Versions(const std::string& line) {
    if (StartsWith(line, out::kFileVersion)) {
      facts_.fileVersion = After(line, out::kFileVersion);
    } else if (StartsWith(line, out::kVersionBefore)) {
      facts_.versionBefore = After(line, out::kVersionBefore);
    } else if (line == out::kVersionAfterUnknown) {
      facts_.answeredAfterUpdate = false;  // no version was read at all
    } else if (StartsWith(line, out::kVersionAfter)) {
      facts_.versionAfter = After(line, out::kVersionAfter);
      if (waitMarks_ >= 0)
        facts_.answeredAfterUpdate = waitMarks_ < out::kRestartMarks;
    } else if (StartsWith(line, out::kCurrentRate)) {
      facts_.initialBaud = After(line, out::kCurrentRate);
    }
    if (line == out::kStraysSetAsideByAddress ||
        line == out::kStraysSetAsideByTiming) {
      facts_.outOfStep = line;
    }
    if (line == out::kWritten || line == out::kDryRunDone) {
      updateDone_ = true;
    } else if (updateDone_ && StartsWith(line, out::kWaitStart)) {
      waitMarks_ = LeadingMarks(After(line, out::kWaitStart));
    } else if (updateDone_ && waitMarks_ >= 0 && facts_.versionAfter.empty()) {
      waitMarks_ += LeadingMarks(line);
    }
  }

  // The refusal marks, the line markers and the addresses of failed slices.
  void Transfer(const std::string& raw, const std::string& line) {
    if (line == out::kEnterLine) {
      inTransfer_ = true;
      facts_.refusedTries = 0;
    } else if (line == out::kEnterFailed) {
      inTransfer_ = false;
      facts_.refusedTries.reset();
    } else if (StartsWith(line, out::kAllSent) ||
               line == out::kTransferNotConfirmed) {
      inTransfer_ = false;
    } else if (inTransfer_) {
      *facts_.refusedTries += RefusalMarks(raw);
    }
    if (!inTransfer_) return;
    if (raw.size() >= out::kMarkerLength &&
        StartsWith(raw, out::kMarkerStart)) {
      lastMarker_ = std::strtoull(raw.substr(2, 8).c_str(), nullptr, 16);
    }
    if (StartsWith(line, out::kSliceGaveUp)) {
      const long long offset = LeadingNumber(After(line, out::kSliceGaveUp));
      if (offset >= 0)
        gaveUpAt_ = FlashAddress(out::kFlashBase +
                                 static_cast<unsigned long long>(offset));
    } else if (StartsWith(line, out::kSliceStart) &&
               line.find(out::kRefused) != std::string::npos) {
      const long long address = LeadingNumber(After(line, out::kSliceStart));
      if (address >= 0)
        lastRefusal_ = {line,
                        FlashAddress(static_cast<unsigned long long>(address))};
    }
  }

  std::string TransferAddress() const {
    if (!gaveUpAt_.empty()) return gaveUpAt_;
    if (!lastRefusal_.first.empty() && lastRefusal_.first == lastDiagnostic_) {
      return lastRefusal_.second;
    }
    return lastMarker_ ? FlashAddress(lastMarker_) : "";
  }

  // The step: opened by its first line, or named by a failure line that
  // belongs to it.
  void Step(const std::string& line) {
    if (line == out::kConnected) {
      connected_ = true;
      facts_.phase = out::kPhaseProbe;
    } else if (StartsWith(line, out::kCurrentRate) ||
               EndsWith(line, out::kNoRate)) {
      facts_.phase = out::kPhaseBaudRate;
    } else if ((line == out::kResetting && !updateDone_) ||
               line == out::kNoVersion) {
      facts_.phase = out::kPhaseRestartWait;
    } else if (StartsWith(line, out::kVersionBefore)) {
      facts_.phase = out::kPhaseEnterUpdateMode;
    } else if (line == out::kEntered) {
      facts_.enteredUpdateMode = true;
      facts_.phase = out::kPhaseTransfer;
    } else if (StartsWith(line, out::kAllSent)) {
      facts_.phase = out::kPhaseComplete;
    } else if (line == out::kWritten || line == out::kDryRunDone ||
               (StartsWith(line, out::kVerdictStart) &&
                EndsWith(line, out::kUnconfirmed))) {
      facts_.phase = out::kPhasePostUpdateWait;
    } else if (StartsWith(line, out::kVersionAfter)) {
      facts_.phase = out::kPhaseFinalBaudRate;
    } else if (StartsWith(line, out::kRateReset) ||
               StartsWith(line, out::kMismatch)) {
      facts_.phase = out::kPhaseVerify;
    }
  }

  TranscriptFacts facts_;
  bool connected_ = false;
  bool inTransfer_ = false;
  bool updateDone_ = false;  // the update's completion line was seen
  int waitMarks_ = -1;       // ". " marks of the wait after the update
  unsigned long long lastMarker_ = 0;
  std::string gaveUpAt_;
  std::pair<std::string, std::string> lastRefusal_;  // line, address
  std::string lastDiagnostic_;
};

}  // namespace

TranscriptFacts ReadTranscript(const std::string& text) {
  return TranscriptScan().Read(text);
}

void ProgressTracker::Consume(const std::string& chunk) {
  // The transfer's stars are counted, not kept in its line.
  lines_.Feed(
      chunk,
      [&](char c) {
        if (!inTransfer_ || c != out::kStar) return false;
        ++stars_;
        return true;
      },
      [&](const std::string& line) { LineDone(line); });
}

int ProgressTracker::Percent() const {
  return stars_ >= kTransferStars ? 100 : stars_ * 100 / kTransferStars;
}

void ProgressTracker::LineDone(const std::string& line) {
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
    if (StartsWith(line, p.head)) {
      phase_ = p.phase;
      inTransfer_ = phase_ == kPhases[4].phase;
    }
  }
}

}  // namespace modflash::fleet
