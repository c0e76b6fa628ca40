#ifndef MODFLASH_FLEET_REPORT_H_
#define MODFLASH_FLEET_REPORT_H_

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "fleet/inventory.h"
#include "fleet/phase_log.h"
#include "fleet/text.h"
#include "fleet/transcript_reader.h"

namespace modflash::fleet {

/// What became of one reader: of a program or dry run, or of an audit.
enum class Outcome {
  kNotStarted,
  kUpdated,
  kDryRunOk,
  kAlreadyCurrent,
  kFailed,
  kAnswered,
  kNoModuleAnswer,
  kUnreachable
};

/// The outcome as it appears in the report: "updated", "dry-run-ok",
/// "already-current", "failed", "answered", "no-module-answer",
/// "unreachable" or "not-started".
const char* OutcomeName(Outcome outcome);

/// Whether the reader counts as done well (exit status 0 of the fleet).
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

/// "host:port" of the reader as a console shows it (control bytes
/// escaped).
std::string ShownWhere(const Reader& reader);

/// The report's field names, in column order.
const std::vector<std::string>& ReportFields();

/// The record's fields as text, in ReportFields() order; "" for empty.
std::vector<std::string> RecordTexts(const ReaderRecord& record);

/// Whether a report field holds a number (not guarded as a CSV text cell).
bool IsNumberField(const std::string& field);

/// Writes `report.csv` (a header line, then one line a reader) and
/// `report.jsonl` (one JSON object a reader, empty fields as null) into
/// `folder`, every text as valid UTF-8 (ValidUtf8). False with `error` set
/// when a file cannot be written.
bool WriteReport(const std::string& folder,
                 const std::vector<ReaderRecord>& records, std::string& error);

/// The record as report.jsonl writes it (a merge lists the readers of a
/// site it could not reach with it).
nlohmann::ordered_json RecordJson(const ReaderRecord& record);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_REPORT_H_
