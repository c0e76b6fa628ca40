#ifndef MODFLASH_FLEET_HTML_SECTIONS_H_
#define MODFLASH_FLEET_HTML_SECTIONS_H_

// The sections of the report page (html_report.cpp puts them together) and
// what they share.

#include <optional>
#include <string>
#include <tuple>
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

/// Whether the run is an audit (a merge of audits among them).
bool IsAudit(const Json& run, const std::vector<Json>& records);

/// Arguments as one command line: each that is empty or holds a blank or a
/// quote in double quotes. Not escaped for the page.
std::string QuotedArgs(const std::vector<std::string>& args);

/// The failure line as the page shows it: an interrupted record's says that
/// it was interrupted (records of earlier versions hold their transcript's
/// last line there, often a success line).
std::string FailureLine(const Json& record);

/// The version a module is known to run after the run: the one read after
/// its update, else the one read before when the run left the module as it
/// was; "" when not known.
std::string VersionAfter(const Json& record);

/// The image version the run compared against: run.json's image, else the
/// first the records name; "" when none.
std::string ImageVersion(const Json& run, const std::vector<Json>& records);

/// A record's `current` as the page shows it: "yes", "no", or "newer" (its
/// module runs a newer version than `imageVersion` or the record's own
/// image); "" when the record does not say.
std::string CurrentText(const Json& record, const std::string& imageVersion);

/// Orders "V1.10.0" after "V1.9.0"; text that is no version after those.
std::tuple<int, int, int, int, std::string> VersionKey(const std::string& v);

/// What to do now, the page's first lines: how many modules may lack
/// firmware, how many readers failed or were not started, each with the
/// --retry command of this run (its image, and `folder`, the run folder as
/// the run was given it); "" when all went well.
std::string ActionsSection(const Json& run, const std::vector<Json>& records,
                           const std::string& folder);

/// An audit's verdict: how many modules run each version and, with an
/// image, how many need the update, run it already or are newer; "" for
/// runs of other kinds.
std::string AuditSection(const Json& run, const std::vector<Json>& records);

/// The header: what ran, with which image and tool, when, and the counts
/// per outcome as tiles (and per site when the records come from several).
std::string HeaderSection(const Json& run, const std::vector<Json>& records);

/// The table of every reader, failures first, with the controls that the
/// script shows; a `current` column when records say it (against
/// `imageVersion` when they name no image of their own).
std::string ReadersSection(const std::vector<Json>& records,
                           const std::string& imageVersion);

/// The timeline of each run (one for a run folder, one per run of a merge),
/// each on its own axis from its first start: one row a reader, its bar
/// split into its phases, failures marked, the starts of waves that
/// updated a reader drawn.
std::string TimelineSection(const std::vector<Json>& records);

/// Counts of the module versions before and after, or "" when no record
/// shows a version.
std::string VersionsSection(const std::vector<Json>& records);

}  // namespace modflash::fleet::html

#endif  // MODFLASH_FLEET_HTML_SECTIONS_H_
