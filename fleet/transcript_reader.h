#ifndef MODFLASH_FLEET_TRANSCRIPT_READER_H_
#define MODFLASH_FLEET_TRANSCRIPT_READER_H_

#include <optional>
#include <string>

namespace modflash::fleet {

/// Slices in a whole transfer, and the progress stars it prints (one for
/// every second slice).
inline constexpr int kTransferStars = 3200;

/// What one modflash transcript shows. A field that the transcript does not
/// show stays empty.
struct TranscriptFacts {
  std::string fileVersion;    ///< "File Firmware Version: " line, e.g. V1.2.3
  std::string versionBefore;  ///< "Current firmware version: " line
  std::string versionAfter;   ///< "Post-update firmware version: " line
  std::string initialBaud;    ///< "Current baud rate: " line
  /// "#" marks of the transfer; empty when no transfer began.
  std::optional<int> refusedTries;
  std::string lastLine;        ///< last non-empty line, marks removed
  std::string firstErrorLine;  ///< first diagnostic line, marks removed
  /// Whether a version poll answered in the wait after the update; empty
  /// when that wait is not (or not wholly) in the transcript.
  std::optional<bool> answeredAfterUpdate;
};

/// Reads the facts of a finished run's standard output ("\r\n" or "\n"
/// line ends).
TranscriptFacts ReadTranscript(const std::string& text);

/// Follows a running transcript chunk by chunk, for the live display.
class ProgressTracker {
 public:
  void Consume(const std::string& chunk);
  /// Share of the transfer done, 0 to 100, from the "*" marks.
  int Percent() const;
  /// What the run is doing now, in a word or two.
  const char* Phase() const { return phase_; }

 private:
  void LineDone();

  std::string line_;
  bool inTransfer_ = false;
  int stars_ = 0;
  const char* phase_ = "starting";
};

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_TRANSCRIPT_READER_H_
