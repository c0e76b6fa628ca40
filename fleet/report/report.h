#ifndef MODFLASH_FLEET_REPORT_H_
#define MODFLASH_FLEET_REPORT_H_

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "fleet/report/record.h"
#include "fleet/text/text.h"

namespace modflash::fleet {

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
