#ifndef MODFLASH_TESTS_SUPPORT_TRANSCRIPT_H_
#define MODFLASH_TESTS_SUPPORT_TRANSCRIPT_H_

// Pieces of the update sequence's output, for the expected transcripts of
// the sequence and end-to-end tests.

#include <cstdint>
#include <cstdio>
#include <string>

#include "contract/output_lines.h"

namespace modflash::testing::transcript {

namespace out = modflash::output;

/// A line of the transcript: `text` and its line end.
inline std::string Line(const std::string& text) { return text + "\n"; }

/// The current revision's header up to the image file's lines.
inline std::string Header(const std::string& kind, const std::string& file,
                          const std::string& uri) {
  return std::string("\n\n\n") + out::kHeaderBox + "\n" + Line(kind) +
         out::kImageFile + Line(file) + out::kUri + Line(uri) + "\n";
}

/// A restart wait that shows `marks` ". " marks.
inline std::string Wait(int marks) {
  std::string text = Line(out::kResetting) + out::kWaitStart;
  for (int i = 0; i < marks; ++i) text += out::kWaitMark;
  return text + "\n\n";
}

/// The progress display of a transfer in which every slice was accepted at
/// the first try.
inline std::string Progress() {
  std::string text;
  for (uint32_t line = 0; line < 50; ++line) {
    char marker[16];
    std::snprintf(marker, sizeof marker, out::kMarkerFormat,
                  0x404000 + line * 4096);
    text += "\n" + std::string(marker) + std::string(64, out::kStar);
  }
  return text;
}

inline const std::string kWarning = Line(out::kRateWarning) + "\n";

/// From the prepare request to the module's entry into update mode.
inline const std::string kUpdateMode = Line(out::kInitiating) +
                                       Line(out::kModuleRestarting) +
                                       Line(out::kEnterLine) + out::kEntryNews +
                                       "Status Packet\n" + Line(out::kEntered);

inline const std::string kSent =
    "\n\n" + Line(out::kAllSent) + Line(out::kCompleteLine);

inline std::string Success(const std::string& address) {
  return "\n" + Line(out::kVerdictStart + address + out::kUpdated);
}

/// True when `text` ends with `tail`.
inline bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace modflash::testing::transcript

#endif  // MODFLASH_TESTS_SUPPORT_TRANSCRIPT_H_
