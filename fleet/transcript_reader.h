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
  /// Last non-empty line, without progress or wait marks, passing over
  /// lines that say nothing about the run (a slow close of the connection).
  std::string lastLine;
  /// First diagnostic line (its marks removed), harmless ones left out.
  std::string firstErrorLine;
  /// Whether a version poll answered in the wait after the update; empty
  /// when that wait is not (or not wholly) in the transcript.
  std::optional<bool> answeredAfterUpdate;
  /// The step the run was in at its end, as a report's failure_phase names
  /// it ("connect" ... "verify"): from the lines that open each step and
  /// the failure lines that belong to one.
  std::string phase;
  /// The line saying the transfer's answers fell out of step and how they
  /// were paired all the same; empty when there was none.
  std::string outOfStep;
  /// The module was shown to be in update mode.
  bool enteredUpdateMode = false;
  /// Where in flash the transfer stopped, "0x00405000"; empty when no
  /// transfer began.
  std::string transferAddress;
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
