#ifndef MODFLASH_FLEET_HTML_SECTIONS_H_
#define MODFLASH_FLEET_HTML_SECTIONS_H_

// The sections of the report page (html_report.cpp puts them together) and
// what they share.

#include <optional>
#include <string>
#include <vector>

#include "fleet/report/run_info.h"

namespace modflash::fleet::html {

/// Seconds of a "YYYY-MM-DDTHH:MM:SS" time on a count of its own (for
/// differences only); empty when the text is not such a time.
std::optional<double> IsoSeconds(const std::string& text);

/// A number of a record's field; empty when absent or not a number.
std::optional<double> Number(const Json& record, const char* field);

/// "1:05" or "1:02:05" for a count of seconds.
std::string Clock(double seconds);

/// Whether the outcome means the reader did not do what was asked.
bool IsFailure(const std::string& outcome);

/// The phase a reader failed in: failure_phase when recorded, otherwise the
/// last phase of its timeline; "" for readers that did not fail.
std::string FailedPhase(const Json& record);

/// A relative link's href for a file path of a record, or "" when the path
/// is not a plain relative one.
std::string RelativeHref(const std::string& path);

/// The kind of run as a heading: "Program run", "Merged report", ...
std::string KindTitle(const Json& run);

/// The header: what ran, with which image and tool, when, and the counts
/// per outcome as tiles (and per site when the records come from several).
std::string HeaderSection(const Json& run, const std::vector<Json>& records);

/// The table of every reader, failures first, with the controls that the
/// script shows.
std::string ReadersSection(const std::vector<Json>& records);

/// The timeline: one row a reader, its bar split into its phases, failures
/// marked, wave starts drawn.
std::string TimelineSection(const std::vector<Json>& records);

/// Counts of the module versions before and after, or "" when no record
/// shows a version.
std::string VersionsSection(const std::vector<Json>& records);

}  // namespace modflash::fleet::html

#endif  // MODFLASH_FLEET_HTML_SECTIONS_H_
