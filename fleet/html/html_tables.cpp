// The header and the reader table of the report page.

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "fleet/html/html_report.h"
#include "fleet/html/html_sections.h"
#include "fleet/report/fields.h"
#include "fleet/text/text.h"
#include "fleet/transcript/diagnosis.h"  // the module states and phases

namespace modflash::fleet::html {
namespace {

// A line of the header; none when `value` is empty.
std::string Fact(const std::string& label, const std::string& value) {
  if (value.empty()) return "";
  return "<dt>" + label + "</dt><dd>" + value + "</dd>";
}

// The texts and numbers of a list in run.json, comma-separated.
std::string List(const Json& run, const char* field) {
  const auto list = run.find(field);
  if (list == run.end() || !list->is_array()) return "";
  std::string text;
  for (const Json& item : *list) {
    if (!item.is_string() && !item.is_number()) continue;
    text +=
        (text.empty() ? "" : ", ") +
        EscapeHtml(item.is_string() ? item.get<std::string>() : item.dump());
  }
  return text;
}

// The images the run used: run.json's list (a merge), its image, or else
// the distinct versions the records show.
std::vector<Json> Images(const Json& run, const std::vector<Json>& records) {
  if (run.is_object()) {
    const auto list = run.find(run_key::kImages);
    if (list != run.end() && list->is_array() && !list->empty()) {
      return std::vector<Json>(list->begin(), list->end());
    }
    const auto image = run.find(run_key::kImage);
    if (image != run.end() && image->is_object()) return {*image};
  }
  std::vector<Json> images;
  std::set<std::string> seen;
  for (const Json& r : records) {
    const std::string version = Text(r, field::kFileVersion);
    const std::string sha256 = Text(r, field::kImageSha256);
    if (version.empty() || !seen.insert(version + " " + sha256).second) {
      continue;
    }
    images.push_back(
        {{run_key::kFile, nullptr},
         {run_key::kVersion, version},
         {run_key::kSha256, sha256.empty() ? Json() : Json(sha256)}});
  }
  return images;
}

std::string ImageText(const Json& image) {
  std::string text;
  const std::string file = Text(image, run_key::kFile);
  if (!file.empty()) text += EscapeHtml(file) + " ";
  const std::string version = Text(image, run_key::kVersion);
  // The file's hash: a module's flash cannot be read back to compare.
  text += "<b>" + EscapeHtml(version.empty() ? "version unknown" : version) +
          "</b>, the image file's SHA-256 ";
  const std::string sha256 = Text(image, run_key::kSha256);
  return text + (sha256.empty() ? std::string("not recorded")
                                : "<code>" + EscapeHtml(sha256) + "</code>");
}

std::string CommandLine(const Json& run) {
  const auto args = run.find(run_key::kCommandLine);
  if (args == run.end() || !args->is_array()) return "";
  std::vector<std::string> texts;
  for (const Json& arg : *args) {
    if (arg.is_string()) texts.push_back(arg.get<std::string>());
  }
  return QuotedArgs(texts);
}

// The first start and the last end among the records.
std::pair<std::string, std::string> RecordSpan(
    const std::vector<Json>& records) {
  std::string first;
  std::string last;
  for (const Json& r : records) {
    const std::string start = Text(r, field::kStartTime);
    const std::string end = Text(r, field::kEndTime);
    if (!start.empty() && (first.empty() || start < first)) first = start;
    if (!end.empty() && end > last) last = end;
  }
  return {first, last};
}

std::string Tile(const std::string& outcome, const std::string& cls,
                 long long count) {
  return "<div class=\"tile " + cls + "\" data-outcome=\"" +
         EscapeHtml(outcome) + "\" data-count=\"" + std::to_string(count) +
         "\"><b>" + std::to_string(count) + "</b>" + EscapeHtml(outcome) +
         "</div>";
}

std::string OutcomeClass(const std::string& outcome) {
  const bool plain = !outcome.empty() && outcome.size() < 32 &&
                     outcome.find_first_not_of("abcdefghijklmnopqrstuvwxyz-") ==
                         std::string::npos;
  return "o-" + (plain ? outcome : std::string("other"));
}

std::string Tiles(const std::string& kind, const std::vector<Json>& records) {
  std::string tiles =
      "<div class=\"tiles\">" +
      Tile("readers", "o-total", static_cast<long long>(records.size()));
  const Json counts = CountOutcomes(kind, records);
  for (const auto& [outcome, count] : counts.items()) {
    tiles += Tile(outcome, OutcomeClass(outcome), count.get<long long>());
  }
  return tiles + "</div>";
}

// Counts per site, when the records come from more than one.
std::string SitesTable(const std::vector<Json>& records) {
  const std::vector<SiteRecords> sites = BySite(records);
  if (sites.size() < 2) return "";
  std::string table =
      "<table class=\"sites\"><thead><tr><th>Site</th><th>Readers</th>"
      "<th>Counts</th></tr></thead><tbody>";
  for (const auto& [site, siteRecords] : sites) {
    std::string counts;
    const Json siteCounts = CountOutcomes("", siteRecords);
    for (const auto& [outcome, count] : siteCounts.items()) {
      counts += (counts.empty() ? "" : ", ") + EscapeHtml(outcome) + " " +
                std::to_string(count.get<long long>());
    }
    table += "<tr><td>" + EscapeHtml(site.empty() ? "(none)" : site) +
             "</td><td>" + std::to_string(siteRecords.size()) + "</td><td>" +
             counts + "</td></tr>";
  }
  return table + "</tbody></table>";
}

// Failures first, then readers never started, then the rest; each group
// in record order.
int Rank(const std::string& outcome) {
  if (outcome == OutcomeName(Outcome::kFailed)) return 0;
  if (IsFailure(outcome)) return 1;
  if (outcome == OutcomeName(Outcome::kNotStarted)) return 2;
  return 3;
}

std::string LogLink(const Json& record, const std::string& text) {
  const std::string href = RelativeHref(Text(record, field::kLogFile));
  if (href.empty()) return EscapeHtml(text);
  return "<a class=\"log\" href=\"" + EscapeHtml(href) + "\">" +
         EscapeHtml(text) + "</a>";
}

// Earlier records of the reader (a merge): outcome, linked to its log, and
// the run it came from.
std::string Attempts(const Json& record) {
  const auto attempts = record.find(field::kAttempts);
  if (attempts == record.end() || !attempts->is_array() || attempts->empty()) {
    return "";
  }
  std::string text;
  for (const Json& a : *attempts) {
    if (!a.is_object()) continue;
    text += (text.empty() ? "" : ", ") + LogLink(a, Text(a, field::kOutcome));
    if (!Text(a, field::kRun).empty())
      text += " (" + EscapeHtml(Text(a, field::kRun)) + ")";
  }
  return "<small>earlier: " + text + "</small>";
}

std::string Cell(const std::string& text, const char* cls = nullptr) {
  return (cls ? "<td class=\"" + std::string(cls) + "\">" : "<td>") +
         EscapeHtml(text) + "</td>";
}

// The optional columns: those that some record fills.
struct Columns {
  bool site = false;
  bool moduleState = false;
  bool nextStep = false;
  bool current = false;
  std::string imageVersion;  // for records that name no image
};

// The most characters of a name, host or site that a cell shows: a longer
// one is cut, and shown whole when pointed at.
constexpr size_t kMostName = 60;
constexpr size_t kMostSite = 40;
constexpr size_t kMostWord = 24;  // a phase, a state, a version

// `text` escaped, cut to `most` characters with "\u2026" and its whole
// text as the title of a span when longer.
std::string Cut(const std::string& text, size_t most) {
  if (TextWidth(text) <= most) return EscapeHtml(text);
  return "<span class=\"cut\" title=\"" + EscapeHtml(text) + "\">" +
         EscapeHtml(CutText(text, most)) + "\u2026</span>";
}

// A cell of one short word that does not wrap (a phase, a state): cut.
std::string CutCell(const std::string& text) {
  return "<td class=\"n\">" + Cut(text, kMostWord) + "</td>";
}

// The reader's cell: its name, cut when long (the whole name as the cell's
// title, which the filter reads too), and where it listens.
std::string NameCell(const std::string& name, const std::string& where) {
  const bool cut = TextWidth(name) > kMostName;
  return std::string(cut ? "<td title=\"" + EscapeHtml(name) + "\">" : "<td>") +
         EscapeHtml(cut ? CutText(name, kMostName) + "\u2026" : name) +
         "<small>" + Cut(where, kMostName) + "</small></td>";
}

std::string ReaderRow(const Json& r, const Columns& columns) {
  const std::string outcome = Text(r, field::kOutcome);
  std::string where = Text(r, field::kHost);
  if (where.empty()) where = Text(r, field::kAddress);
  if (const auto port = Number(r, field::kPort)) {
    where += ":" + std::to_string(static_cast<long long>(*port));
  }
  std::string row = "<tr class=\"" + OutcomeClass(outcome) +
                    "\" data-outcome=\"" + EscapeHtml(outcome) + "\">" +
                    NameCell(Text(r, field::kName), where);
  if (columns.site) {
    // A merge's record: its run, when that is not the site's name.
    const std::string run = Text(r, field::kRun);
    row += "<td class=\"n\">" + Cut(Text(r, field::kSite), kMostSite);
    if (!run.empty() && run != Text(r, field::kSite)) {
      row += "<small>" + Cut(run, kMostSite) + "</small>";
    }
    row += "</td>";
  }
  row += "<td><span class=\"badge\">" + EscapeHtml(outcome) + "</span>" +
         Attempts(r) + "</td>";
  row += CutCell(FailedPhase(r));
  if (columns.moduleState) row += CutCell(Text(r, field::kModuleState));
  if (columns.nextStep) row += Cell(Text(r, field::kNextStep), "f");
  if (columns.current) row += Cell(CurrentText(r, columns.imageVersion), "n");
  const std::string before = Text(r, field::kVersionBefore);
  const std::string after = Text(r, field::kVersionAfter);
  row += "<td class=\"n\">" + Cut(before, kMostWord) +
         (after.empty() ? "" : " \u2192 " + Cut(after, kMostWord)) + "</td>";
  const auto seconds = Number(r, field::kSeconds);
  char sort[32] = "";
  if (seconds) std::snprintf(sort, sizeof sort, "%.1f", *seconds);
  row += "<td class=\"n\" data-sort=\"" + std::string(sort) + "\">" +
         (seconds ? Clock(*seconds) : "") + "</td>";
  row += "<td>" + LogLink(r, "log") + "</td>";
  std::string failure = EscapeHtml(FailureLine(r));
  if (!Text(r, field::kFailureAddress).empty()) {
    failure +=
        "<small>at " + EscapeHtml(Text(r, field::kFailureAddress)) + "</small>";
  }
  const std::string first = Text(r, field::kFirstError);
  if (!first.empty() && first != Text(r, field::kFailureLine)) {
    failure += "<small>first: " + EscapeHtml(first) + "</small>";
  }
  return row + "<td class=\"f\">" + failure + "</td></tr>";
}

std::string Controls(const std::vector<Json>& records) {
  std::vector<std::string> outcomes;
  for (const Json& r : records) {
    const std::string o = Text(r, field::kOutcome);
    if (std::find(outcomes.begin(), outcomes.end(), o) == outcomes.end()) {
      outcomes.push_back(o);
    }
  }
  std::string html =
      "<div id=\"controls\" class=\"controls\" hidden><input id=\"filter\" "
      "type=\"search\" placeholder=\"Filter: name, address, any text\" "
      "aria-label=\"Filter readers\" size=\"32\"><select "
      "id=\"outcome-filter\" aria-label=\"Outcome\"><option value=\"\">"
      "every outcome</option>";
  for (const std::string& o : outcomes) {
    html += "<option>" + EscapeHtml(o) + "</option>";
  }
  return html + "</select><span id=\"shown\"></span></div>";
}

}  // namespace

std::string ReadersSection(const std::vector<Json>& records,
                           const std::string& imageVersion) {
  std::vector<size_t> order(records.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return Rank(Text(records[a], field::kOutcome)) <
           Rank(Text(records[b], field::kOutcome));
  });
  const auto any = [&](const char* field) {
    return std::any_of(records.begin(), records.end(),
                       [&](const Json& r) { return !Text(r, field).empty(); });
  };
  Columns columns;
  columns.site = any(field::kSite);
  columns.moduleState = any(field::kModuleState);
  columns.nextStep = any(field::kNextStep);
  columns.current =
      std::any_of(records.begin(), records.end(), [](const Json& r) {
        const auto it = r.find(field::kCurrent);
        return it != r.end() && it->is_boolean();
      });
  columns.imageVersion = imageVersion;
  std::string html = "<section id=\"readers\"><h2>Readers</h2>" +
                     Controls(records) +
                     "<table id=\"reader-table\"><thead><tr><th>Reader</th>";
  if (columns.site) html += "<th>Site</th>";
  html += "<th>Outcome</th><th>Phase</th>";
  if (columns.moduleState) html += "<th>Module state</th>";
  if (columns.nextStep) html += "<th>Next step</th>";
  if (columns.current) html += "<th>current</th>";
  html +=
      "<th>Versions</th><th data-numeric>Duration</th><th>Log</th>"
      "<th>Failure</th></tr></thead><tbody>";
  for (const size_t i : order) html += ReaderRow(records[i], columns);
  return html + "</tbody></table></section>";
}

std::string RelativeHref(const std::string& path) {
  std::string p = path;
  std::replace(p.begin(), p.end(), '\\', '/');
  if (p.empty() || p[0] == '/' || p.find(':') != std::string::npos) return "";
  static const char kHex[] = "0123456789ABCDEF";
  std::string href;
  for (const char c : p) {
    const auto u = static_cast<unsigned char>(c);
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                       c == '_' || c == '~' || c == '/';
    if (plain) {
      href += c;
    } else {
      href += '%';
      href += kHex[u >> 4];
      href += kHex[u & 15];
    }
  }
  return href;
}

std::string QuotedArgs(const std::vector<std::string>& args) {
  std::string line;
  for (std::string text : args) {
    if (text.empty() || text.find_first_of(" \t\"") != std::string::npos) {
      text = "\"" + text + "\"";
    }
    line += (line.empty() ? "" : " ") + text;
  }
  return line;
}

bool IsAudit(const Json& run, const std::vector<Json>& records) {
  const std::string kind = run.is_object() ? Text(run, run_key::kKind) : "";
  if (kind != "merge") return kind == "audit";
  return std::any_of(records.begin(), records.end(), [](const Json& r) {
    const std::string outcome = Text(r, field::kOutcome);
    return outcome == OutcomeName(Outcome::kAnswered) ||
           outcome == OutcomeName(Outcome::kNoModuleAnswer) ||
           outcome == OutcomeName(Outcome::kUnreachable);
  });
}

std::string KindTitle(const Json& run) {
  const std::string kind = run.is_object() ? Text(run, run_key::kKind) : "";
  if (kind == "program") return "Program run";
  if (kind == "dryrun") return "Dry run";
  if (kind == "audit") return "Audit";
  if (kind == "merge") return "Merged report";
  return "Fleet run";
}

// The sites of a merge whose machines could not be reached, comma-separated.
std::string UnreachableSites(const Json& run) {
  const auto sites = run.find(run_key::kSites);
  if (sites == run.end() || !sites->is_object()) return "";
  std::string text;
  for (const auto& [name, site] : sites->items()) {
    const auto reachable = site.find(run_key::kReachable);
    if (reachable == site.end() || *reachable != false) continue;
    text += (text.empty() ? "" : ", ") + EscapeHtml(name);
  }
  return text;
}

// What already-current means, when some record is: the version alone.
std::string SameVersionNote(const std::vector<Json>& records) {
  const auto current =
      std::count_if(records.begin(), records.end(), [](const Json& r) {
        return Text(r, field::kOutcome) ==
               OutcomeName(Outcome::kAlreadyCurrent);
      });
  if (current == 0) return "";
  return std::to_string(current) +
         (current == 1 ? " module reports the image's version and was left "
                         "as it is ("
                       : " modules report the image's version and were left "
                         "as they are (") +
         output::kSameVersionOnly + ": a module's flash cannot be read back)";
}

std::string HeaderSection(const Json& run, const std::vector<Json>& records) {
  const Json info = run.is_object() ? run : Json::object();
  std::string h =
      "<header><h1>" + KindTitle(info) + "</h1><dl class=\"facts\">";
  const std::string site = Text(info, run_key::kSite);
  if (!site.empty()) h += Fact("Site", EscapeHtml(site));
  const std::vector<Json> images = Images(info, records);
  std::string imageText;
  for (const Json& image : images) {
    imageText += (imageText.empty() ? "" : "<br>") + ImageText(image);
  }
  h += Fact(images.size() > 1 ? "Images" : "Image",
            imageText.empty() ? "not recorded" : imageText);
  std::string tool = "not recorded (a run folder of an earlier version)";
  if (!Text(info, run_key::kToolVersion).empty()) {
    tool = "modflash-fleet " + EscapeHtml(Text(info, run_key::kToolVersion));
    if (!Text(info, run_key::kModflashVersion).empty()) {
      tool += ", modflash " + EscapeHtml(Text(info, run_key::kModflashVersion));
    }
  }
  h += Fact("Tool", tool);
  const std::string line = CommandLine(info);
  if (!line.empty())
    h += Fact("Command line", "<code>" + EscapeHtml(line) + "</code>");
  const auto [first, last] = RecordSpan(records);
  const std::string start = Text(info, run_key::kStartTime);
  const std::string end = Text(info, run_key::kEndTime);
  h += Fact("Started", EscapeHtml(start.empty() ? first : start));
  h += Fact("Ended", EscapeHtml(end.empty() ? last : end));
  h += Fact("Runs", List(info, run_key::kRuns)) +
       Fact("Waves", List(info, run_key::kWaves));
  h += Fact("Sites not reached", UnreachableSites(info));
  if (!Text(info, run_key::kRetryOf).empty()) {
    h += Fact("Retry of", EscapeHtml(Text(info, run_key::kRetryOf)));
  }
  if (!Text(info, run_key::kStopped).empty()) {
    h += Fact("Stopped", EscapeHtml(Text(info, run_key::kStopped)));
  }
  h += Fact("Already current", SameVersionNote(records));
  h += "</dl>" + Tiles(Text(info, run_key::kKind), records) +
       SitesTable(records);
  return h + "</header>";
}

}  // namespace modflash::fleet::html
