#ifndef MODFLASH_FLEET_TRANSCRIPT_READER_H_
#define MODFLASH_FLEET_TRANSCRIPT_READER_H_

#include <optional>
#include <string>

#include "fleet/report/record.h"
#include "fleet/transcript/line_splitter.h"

namespace modflash::fleet {

/// Slices in a whole transfer, and the progress stars it prints (one for
/// every second slice).
inline constexpr int kTransferStars = 3200;

/// Reads the facts of a finished run's standard output ("\r\n" or "\n"
/// line ends).
TranscriptFacts ReadTranscript(const std::string& text);

/// Follows a running transcript chunk by chunk, for the live display.
class ProgressTracker {
 public:
  /// Long enough for every line the tracker looks for.
  static constexpr size_t kProgressLineKept = 120;

  void Consume(const std::string& chunk);
  /// Share of the transfer done, 0 to 100, from the "*" marks.
  int Percent() const;
  /// What the run is doing now, in a word or two.
  const char* Phase() const { return phase_; }

 private:
  void LineDone(const std::string& line);

  LineSplitter lines_{kProgressLineKept};
  bool inTransfer_ = false;
  int stars_ = 0;
  const char* phase_ = "starting";
};

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_TRANSCRIPT_READER_H_
