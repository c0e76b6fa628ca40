#include "fleet/transcript_reader.h"

#include <vector>

namespace modflash::fleet {
namespace {

const char kEnterLine[] = "Sending Update_EnterUpdateMode packet.";
const char kEnterFailed[] =
    "Update_EnterUpdateMode returned an error response.";
const char kWaitStart[] = "Waiting for re-initialization ";
// The transfer's end when its answers fell out of step with its requests.
const char kTransferNotConfirmed[] =
    "Transfer not confirmed: the module's answers fell out of step with the "
    "requests.";
// Printed in place of the version when no poll after the update answered.
const char kUnknownAfter[] =
    "Post-update firmware version: unknown (the module did not answer)";

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
// marker such as "0X00404000 ", then any "*" and "#".
std::string WithoutMarks(const std::string& line) {
  size_t pos = 0;
  if (line.size() >= 11 && StartsWith(line, "0X") && line[10] == ' ') {
    pos = 11;
  }
  while (pos < line.size() && (line[pos] == '*' || line[pos] == '#')) ++pos;
  return line.substr(pos);
}

// Whether a line (marks removed) is one of the diagnostics that modflash,
// its controller or its link print when something goes wrong.
bool IsDiagnostic(const std::string& line) {
  if (line == kTransferNotConfirmed) return true;
  static const char* const kWords[] = {"Error",   "error",     "failed",
                                       "Failed",  "Unable",    "Unexpected",
                                       "Invalid", "too short", "OOPS"};
  for (const char* word : kWords) {
    if (line.find(word) != std::string::npos) return true;
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
  while (line.compare(pos, 2, ". ") == 0) {
    ++marks;
    pos += 2;
  }
  return marks;
}

// Counts the "#" marks in a piece of the transfer, leaving out the "#" of
// an "Error #" code in a link diagnostic.
int RefusalMarks(const std::string& line) {
  int marks = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '#') continue;
    if (i >= 6 && line.compare(i - 6, 6, "Error ") == 0) continue;
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
    if (StartsWith(line, "File Firmware Version: ")) {
      facts.fileVersion = After(line, "File Firmware Version: ");
    } else if (StartsWith(line, "Current firmware version: ")) {
      facts.versionBefore = After(line, "Current firmware version: ");
    } else if (line == kUnknownAfter) {
      facts.answeredAfterUpdate = false;  // no version was read at all
    } else if (StartsWith(line, "Post-update firmware version: ")) {
      facts.versionAfter = After(line, "Post-update firmware version: ");
      if (waitMarks >= 0) facts.answeredAfterUpdate = waitMarks < 28;
    } else if (StartsWith(line, "Current baud rate: ")) {
      facts.initialBaud = After(line, "Current baud rate: ");
    }

    if (line == kEnterLine) {
      inTransfer = true;
      facts.refusedTries = 0;
    } else if (line == kEnterFailed) {
      inTransfer = false;
      facts.refusedTries.reset();
    } else if (StartsWith(line, "All code data successfully sent") ||
               line == kTransferNotConfirmed) {
      inTransfer = false;
    } else if (inTransfer) {
      *facts.refusedTries += RefusalMarks(raw);
    }

    if (line == "Module Firmware successfully written." ||
        line == "Dry run (testMode = true) succeeded.") {
      updateDone = true;
    } else if (updateDone && StartsWith(line, kWaitStart)) {
      waitMarks = LeadingMarks(After(line, kWaitStart));
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
    if (inTransfer_ && c == '*') {
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
      {"Connected to reader.", "probing"},
      {"Current baud rate: ", "baud rate"},
      {"Resetting Module", "restart wait"},
      {"Current firmware version: ", "update mode"},
      {kEnterLine, "transfer"},
      {"Sending Update_Complete packet.", "completing"},
      {"Post-update firmware version: ", "final baud rate"},
  };
  for (const auto& p : kPhases) {
    if (StartsWith(line_, p.head)) {
      phase_ = p.phase;
      inTransfer_ = phase_ == kPhases[4].phase;
    }
  }
}

}  // namespace modflash::fleet
