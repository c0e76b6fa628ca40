#ifndef MODFLASH_FLEET_REPORT_H_
#define MODFLASH_FLEET_REPORT_H_

#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "fleet/report/fields.h"
#include "fleet/report/record.h"
#include "fleet/text/text.h"

namespace modflash::fleet {

/// "host:port" of the reader as a console shows it (control bytes
/// escaped).
std::string ShownWhere(const Reader& reader);

/// The report's field names, in column order (field::kColumns).
const std::vector<std::string>& ReportFields();

/// One cell of report.csv: its text, and whether it holds a number (which
/// is not guarded as a text cell is).
struct CsvCell {
  std::string text;
  bool number = false;
};

/// The record's cells in ReportFields() order; "" for an empty field.
std::vector<CsvCell> RecordCells(const ReaderRecord& record);

/// The cells of a report.jsonl object for `fields`: texts as they are,
/// booleans as yes/no, numbers as JSON writes them, "" for a field that is
/// absent, null or not plain.
std::vector<CsvCell> JsonCells(const nlohmann::ordered_json& record,
                               const std::vector<std::string>& fields);

/// report.csv: the header line of `fields`, then a line of each row's
/// cells, every text valid UTF-8 (ValidUtf8) and guarded (CsvField).
void WriteCsv(std::ostream& out, const std::vector<std::string>& fields,
              const std::vector<std::vector<CsvCell>>& rows);

/// The record as report.jsonl writes it: every field in column order, null
/// when empty, typed where the field has a type, then its phases when it
/// has any (a merge lists the readers of a site it could not reach with it).
nlohmann::ordered_json RecordJson(const ReaderRecord& record);

/// The record of a report line, read through the same list of fields that
/// RecordJson writes (the note whole into the reader's note): RecordJson of
/// the record read is the line RecordJson wrote.
ReaderRecord RecordFromJson(const nlohmann::ordered_json& json);

/// report.jsonl: one record a line, as compact JSON (invalid UTF-8
/// replaced).
void WriteJsonl(std::ostream& out,
                const std::vector<nlohmann::ordered_json>& records);

/// Writes `report.csv` (a header line, then one line a reader) and
/// `report.jsonl` (one RecordJson a line) into `folder`. False with `error`
/// set when a file cannot be written.
bool WriteReport(const std::string& folder,
                 const std::vector<ReaderRecord>& records, std::string& error);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_REPORT_H_
