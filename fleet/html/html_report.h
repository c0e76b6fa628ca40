#ifndef MODFLASH_FLEET_HTML_REPORT_H_
#define MODFLASH_FLEET_HTML_REPORT_H_

#include <string>
#include <vector>

#include "fleet/report/record.h"
#include "fleet/report/run_info.h"

namespace modflash::fleet {

/// `text` with &, <, >, " and ' replaced by entities: safe as element text
/// and as a quoted attribute value.
std::string EscapeHtml(const std::string& text);

/// The report page of a run folder from its run.json object (null when the
/// folder has none) and its records: what to do now (with the --retry
/// command for `folder`, the run folder as the run was given it), header
/// and counts, an audit's verdict, a timeline of the phases, the module
/// versions and a table of the readers. One file whose styles, drawings
/// and script are inline; it loads nothing, and reads as a plain page with
/// scripts off.
std::string RenderHtmlReport(const Json& run, const std::vector<Json>& records,
                             const std::string& folder = "");

/// Writes report.html into `folder` from its run.json object and its
/// records as report.jsonl holds them; its --retry command names
/// `retryFolder` when given (a folder renamed once written), else `folder`.
/// False with `error` set when the page cannot be written.
bool WriteHtmlReport(const std::string& folder, const Json& run,
                     const std::vector<Json>& records, std::string& error,
                     const std::string& retryFolder = "");

/// Writes run.json (from `run` and the records) and report.html into
/// `folder`. False with `error` set when it cannot.
bool WriteRunSummary(const std::string& folder, const RunDescription& run,
                     const std::vector<ReaderRecord>& records,
                     std::string& error);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_HTML_REPORT_H_
