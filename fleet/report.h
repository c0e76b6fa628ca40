#ifndef MODFLASH_FLEET_REPORT_H_
#define MODFLASH_FLEET_REPORT_H_

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "fleet/inventory.h"
#include "fleet/phase_log.h"
#include "fleet/transcript_reader.h"

namespace modflash::fleet {

/// What became of one reader.
enum class Outcome { kNotStarted, kUpdated, kDryRunOk, kFailed };

/// The outcome as it appears in the report: "updated", "dry-run-ok",
/// "failed" or "not-started".
const char* OutcomeName(Outcome outcome);

/// One record of the report.
struct ReaderRecord {
  Reader reader;
  Outcome outcome = Outcome::kNotStarted;
  std::optional<int> exitStatus;  ///< empty when not started or killed
  TranscriptFacts facts;
  std::string failureLine;  ///< for a failure: the transcript's last line
  std::string firstError;   ///< for a failure: its first diagnostic line
  std::string startTime;    ///< ISO 8601 local time; empty if not started
  std::string endTime;
  std::optional<double> seconds;
  std::string logFile;  ///< the transcript's file name in the run folder
  std::string site;     ///< --site of the run; empty when none was given
  /// Phases as the live output showed them (JSONL only); empty when the
  /// update never started.
  std::vector<PhaseSpan> phases;
};

/// The report's field names, in column order.
const std::vector<std::string>& ReportFields();

/// The record's fields as text, in ReportFields() order; "" for empty.
std::vector<std::string> RecordTexts(const ReaderRecord& record);

/// `text` as one CSV cell: quoted when it holds a comma, quote or line end.
std::string CsvField(const std::string& text);

/// Writes `report.csv` (a header line, then one line a reader) and
/// `report.jsonl` (one JSON object a reader, empty fields as null) into
/// `folder`. False with `error` set when a file cannot be written.
bool WriteReport(const std::string& folder,
                 const std::vector<ReaderRecord>& records, std::string& error);

/// The record as report.jsonl writes it (a merge lists the readers of a
/// site it could not reach with it).
nlohmann::ordered_json RecordJson(const ReaderRecord& record);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_REPORT_H_
