#ifndef MODFLASH_FLEET_REPORT_RECORD_H_
#define MODFLASH_FLEET_REPORT_RECORD_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "contract/port.h"

namespace modflash::fleet {

/// What a fleet run does for each reader.
enum class RunKind { kProgram, kDryRun, kAudit };

/// The run kind as run.json names it: "program", "dryrun" or "audit".
const char* RunKindName(RunKind kind);

/// The port a reader listens on when its inventory line names none.
inline constexpr int32_t kDefaultReaderPort = output::kDefaultPort;

/// One reader of the inventory.
struct Reader {
  std::string name;     ///< as written, or "host:port" when none was
  std::string host;     ///< as written: an IPv4 address or a host name
  std::string address;  ///< dotted IPv4 address used
  int32_t port = kDefaultReaderPort;
  int line = 0;      ///< line number in the inventory file, from 1
  std::string note;  ///< what the check noticed (several addresses)
};

/// What one modflash transcript shows. A field that the transcript does not
/// show stays empty.
struct TranscriptFacts {
  std::string fileVersion;    ///< output::kFileVersion's line, e.g. V1.2.3
  std::string versionBefore;  ///< output::kVersionBefore's line
  std::string versionAfter;   ///< output::kVersionAfter's line
  std::string initialBaud;    ///< output::kCurrentRate's line
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

/// One phase of an update, in seconds from the start of its modflash.
struct PhaseSpan {
  /// A name of output::kTimeline (contract/phases.h).
  const char* phase = "";
  double start = 0;
  double end = 0;
};

/// What became of one reader: of a program or dry run, or of an audit.
enum class Outcome {
  kNotStarted,
  kUpdated,
  kDryRunOk,
  kAlreadyCurrent,
  kFailed,
  kAnswered,
  kNoModuleAnswer,
  kUnreachable,
  /// In flight when its run ended, and its transcript does not say how it
  /// ended.
  kUnknown,
  /// Not updated: its module runs a newer version than the image (and the
  /// run did not allow older ones).
  kNewerThanImage
};

/// How many outcomes there are, for tables indexed by outcome.
inline constexpr int kOutcomeCount =
    static_cast<int>(Outcome::kNewerThanImage) + 1;

/// The outcome as it appears in the report: "updated", "dry-run-ok",
/// "already-current", "failed", "answered", "no-module-answer",
/// "unreachable", "unknown", "newer-than-image" or "not-started".
const char* OutcomeName(Outcome outcome);

/// Whether the reader counts as done well (exit status 0 of the fleet):
/// newer-than-image among them, as it is no failure.
bool Succeeded(Outcome outcome);

/// One record of the report.
struct ReaderRecord {
  Reader reader;
  Outcome outcome = Outcome::kNotStarted;
  /// modflash's exit status, signed (-1); empty when not started or killed.
  std::optional<int> exitStatus;
  /// The same as the system reports it (255 on POSIX, 4294967295 on
  /// Windows for -1).
  std::optional<long long> exitStatusRaw;
  TranscriptFacts facts;
  std::string imageSha256;     ///< of the run's image; empty without one
  std::string failureLine;     ///< for a failure: the transcript's last line
  std::string firstError;      ///< for a failure: its first diagnostic line
  std::string failurePhase;    ///< for a failure: a kFailurePhases name
  std::string failureAddress;  ///< for a transfer failure: "0x00405000"
  std::string moduleState;     ///< kUntouched ... kUnknownState
  std::string nextStep;        ///< for a failure: what to do
  /// Whether the module runs the image's version (audit with an image, or
  /// the version read before an update); empty when not known.
  std::optional<bool> current;
  std::optional<int> wave;  ///< the wave it started in, from 1
  std::string startTime;    ///< ISO 8601 local time; empty if not started
  std::string endTime;
  std::optional<double> seconds;
  std::string logFile;  ///< the transcript's file name in the run folder
  std::string site;     ///< --site of the run; empty when none was given
  /// Phases as the live output showed them (JSONL only); empty when the
  /// update never started.
  std::vector<PhaseSpan> phases;
};

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_REPORT_RECORD_H_
