// What the report page says first: what to do now, and an audit's verdict;
// and what the sections read alike from a record (its failure line, its
// versions, whether it is current).

#include <algorithm>
#include <cstdio>
#include <map>

#include "fleet/html/html_report.h"
#include "fleet/html/html_sections.h"
#include "fleet/report/fields.h"
#include "fleet/transcript/diagnosis.h"  // the module states and phases
#include "fleet/transcript/judgement.h"

namespace modflash::fleet::html {

std::string FailureLine(const Json& record) {
  const std::string line = Text(record, field::kFailureLine);
  if (Text(record, field::kFailurePhase) != output::kPhaseInterrupted ||
      line.rfind(output::kInterruptedLine, 0) == 0) {
    return line;
  }
  std::string where;
  const auto phases = record.find(field::kPhases);
  const std::string last =
      phases != record.end() && phases->is_array() && !phases->empty()
          ? Text(phases->back(), field::kPhase)
          : "";
  if (!last.empty()) where = " in its " + last + " phase";
  const std::string address = Text(record, field::kFailureAddress);
  if (!address.empty()) where += ", at " + address;
  return std::string(output::kInterruptedLine) + where;
}

std::string VersionAfter(const Json& record) {
  const std::string after = Text(record, field::kVersionAfter);
  if (!after.empty()) return after;
  const std::string state = Text(record, field::kModuleState);
  const std::string outcome = Text(record, field::kOutcome);
  const bool leftAsItWas = state == output::kUntouched ||
                           state == output::kAlreadyCurrentState ||
                           outcome == OutcomeName(Outcome::kAlreadyCurrent) ||
                           outcome == OutcomeName(Outcome::kNewerThanImage);
  return leftAsItWas ? Text(record, field::kVersionBefore) : "";
}

std::string ImageVersion(const Json& run, const std::vector<Json>& records) {
  if (run.is_object()) {
    const auto image = run.find(run_key::kImage);
    if (image != run.end() && image->is_object()) {
      const std::string version = Text(*image, run_key::kVersion);
      if (!version.empty()) return version;
    }
  }
  for (const Json& r : records) {
    const std::string version = Text(r, field::kFileVersion);
    if (!version.empty()) return version;
  }
  return "";
}

std::string CurrentText(const Json& record, const std::string& imageVersion) {
  const auto current = record.find(field::kCurrent);
  if (current == record.end() || !current->is_boolean()) return "";
  if (current->get<bool>()) return "yes";
  std::string image = Text(record, field::kFileVersion);
  if (image.empty()) image = imageVersion;
  return NewerThanImage(Text(record, field::kVersionBefore), image) ? "newer"
                                                                    : "no";
}

std::tuple<int, int, int, int, std::string> VersionKey(const std::string& v) {
  int major = 0;
  int minor = 0;
  int patch = 0;
  char rest = 0;
  const bool parsed =
      std::sscanf(v.c_str(), "V%d.%d.%d%c", &major, &minor, &patch, &rest) == 3;
  return parsed ? std::make_tuple(0, major, minor, patch, std::string())
                : std::make_tuple(1, 0, 0, 0, v);
}

namespace {

// "1 module", "4 modules".
std::string Many(long long count, const char* one, const char* more) {
  return std::to_string(count) + " " + (count == 1 ? one : more);
}

// The run's image file as given, when the run had one: run.json's image,
// or the one file that every image of a merge names.
std::string ImageFile(const Json& run) {
  if (!run.is_object()) return "";
  const auto image = run.find(run_key::kImage);
  if (image != run.end() && image->is_object()) {
    return Text(*image, run_key::kFile);
  }
  const auto images = run.find(run_key::kImages);
  if (images == run.end() || !images->is_array()) return "";
  std::string file;
  for (const Json& i : *images) {
    const std::string f = i.is_object() ? Text(i, run_key::kFile) : "";
    if (f.empty() || (!file.empty() && f != file)) return "";
    file = f;
  }
  return file;
}

// The command that retries this run's failed and unstarted readers.
std::string RetryCommand(const Json& run, bool audit,
                         const std::string& folder) {
  const std::string kind = run.is_object() ? Text(run, run_key::kKind) : "";
  std::string image = ImageFile(run);
  std::vector<std::string> args = {"modflash-fleet"};
  if (audit) {
    args.push_back("--audit");
  } else {
    args.push_back(kind == "dryrun" ? "--dryrun" : "--program");
    args.push_back(image.empty() ? "IMAGE" : image);
  }
  args.push_back("--retry");
  args.push_back(folder.empty() ? "FOLDER" : folder);
  if (audit && !image.empty()) {
    args.push_back("--image");
    args.push_back(image);
  }
  return "<code class=\"retry\">" + EscapeHtml(QuotedArgs(args)) + "</code>";
}

struct Tally {
  long long mayLack = 0;
  long long failed = 0;
  long long notStarted = 0;
};

Tally CountActions(const std::vector<Json>& records) {
  Tally t;
  for (const Json& r : records) {
    const std::string outcome = Text(r, field::kOutcome);
    if (Text(r, field::kModuleState) == output::kMayLackFirmware) {
      ++t.mayLack;
    } else if (IsFailure(outcome) ||
               outcome == OutcomeName(Outcome::kUnknown)) {
      ++t.failed;
    } else if (outcome == OutcomeName(Outcome::kNotStarted)) {
      ++t.notStarted;
    }
  }
  return t;
}

}  // namespace

std::string ActionsSection(const Json& run, const std::vector<Json>& records,
                           const std::string& folder) {
  const Tally t = CountActions(records);
  if (t.mayLack + t.failed + t.notStarted == 0) return "";
  const bool audit = IsAudit(run, records);
  const std::string command = RetryCommand(run, audit, folder);
  std::string html = "<section id=\"actions\" class=\"actions\">";
  if (t.mayLack > 0) {
    html += "<p class=\"urgent\" data-count=\"" + std::to_string(t.mayLack) +
            "\"><b>" +
            Many(t.mayLack, "module may lack firmware: update it again now",
                 "modules may lack firmware: update them again now") +
            "</b> " + command + "</p>";
  }
  if (t.failed > 0) {
    const char* more = t.mayLack > 0 ? "other " : "";
    html += "<p class=\"failed\" data-count=\"" + std::to_string(t.failed) +
            "\"><b>" + std::to_string(t.failed) + " " + more +
            (audit ? (t.failed == 1 ? "reader did not answer: audit it again"
                                    : "readers did not answer: audit them "
                                      "again")
                   : (t.failed == 1 ? "reader failed: retry it"
                                    : "readers failed: retry them")) +
            "</b> " + command + "</p>";
  }
  if (t.notStarted > 0) {
    const std::string stopped =
        run.is_object() ? Text(run, run_key::kStopped) : "";
    html += "<p class=\"idle\" data-count=\"" + std::to_string(t.notStarted) +
            "\"><b>" +
            Many(t.notStarted, "reader was not started",
                 "readers were not "
                 "started") +
            "</b>" + (stopped.empty() ? "" : " (" + EscapeHtml(stopped) + ")") +
            ": the retry starts " + (t.notStarted == 1 ? "it" : "them") + ". " +
            command + "</p>";
  }
  return html + "</section>";
}

namespace {

// An answered record against the image: "yes", "no" or "newer"; "" without
// an image. Records of earlier versions that lack `current` are compared
// here.
std::string Against(const Json& record, const std::string& image) {
  const std::string shown = CurrentText(record, image);
  if (!shown.empty() || image.empty()) return shown;
  const std::string version = Text(record, field::kVersionBefore);
  if (version == image) return "yes";
  return NewerThanImage(version, image) ? "newer" : "no";
}

const char* AgainstText(const std::string& against) {
  if (against == "yes") return "current (the same version)";
  if (against == "newer") return "newer than the image: left alone";
  if (against == "no") return "needs the update";
  return "";
}

struct VersionRow {
  std::string version;
  long long count = 0;
  std::string against;
};

// The count of each answer against the image: "yes", "no", "newer".
using Verdicts = std::map<std::string, long long>;

std::string Verdict(const std::string& image, const Verdicts& v,
                    long long silent) {
  const auto count = [&](const char* key) {
    const auto it = v.find(key);
    return it == v.end() ? 0LL : it->second;
  };
  if (image.empty()) {
    return "<p class=\"verdict\">An audit without an image: with --image "
           "IMAGE it counts the modules that need the update.</p>";
  }
  std::string text = "<p class=\"verdict\"><b id=\"need\" data-count=\"" +
                     std::to_string(count("no")) + "\">" +
                     Many(count("no"), "module needs", "modules need") +
                     " the update to " + EscapeHtml(image) + "</b>; " +
                     std::to_string(count("yes")) + " run it already (" +
                     output::kSameVersionOnly + ")";
  if (count("newer") > 0) {
    text += "; <span id=\"newer\" data-count=\"" +
            std::to_string(count("newer")) + "\">" +
            std::to_string(count("newer")) +
            " run a newer version than the image</span> (an update leaves "
            "them alone)";
  }
  if (silent > 0) text += "; " + std::to_string(silent) + " did not answer";
  return text + ".</p>";
}

}  // namespace

std::string AuditSection(const Json& run, const std::vector<Json>& records) {
  if (!IsAudit(run, records)) return "";
  const std::string image = ImageVersion(run, records);
  std::map<std::tuple<int, int, int, int, std::string>, VersionRow> rows;
  Verdicts verdicts;
  long long silent = 0;
  long long idle = 0;
  for (const Json& r : records) {
    const std::string outcome = Text(r, field::kOutcome);
    if (IsFailure(outcome)) ++silent;
    if (outcome == OutcomeName(Outcome::kNotStarted)) ++idle;
    if (outcome != OutcomeName(Outcome::kAnswered)) continue;
    const std::string version = Text(r, field::kVersionBefore);
    VersionRow& row = rows[VersionKey(version)];
    row.version = version.empty() ? "(none read)" : version;
    ++row.count;
    row.against = Against(r, image);
    ++verdicts[row.against];
  }
  std::string html = "<section id=\"audit\"><h2>Module versions</h2>" +
                     Verdict(image, verdicts, silent) +
                     "<table class=\"sites\" id=\"version-counts\"><thead>"
                     "<tr><th>Version</th><th>Modules</th>";
  if (!image.empty()) html += "<th>Against " + EscapeHtml(image) + "</th>";
  html += "</tr></thead><tbody>";
  const auto line = [&](const std::string& version, long long count,
                        const std::string& against) {
    html += "<tr><td>" + EscapeHtml(version) + "</td><td class=\"n\">" +
            std::to_string(count) + "</td>" +
            (image.empty() ? "" : "<td>" + against + "</td>") + "</tr>";
  };
  for (const auto& entry : rows) {
    const VersionRow& row = entry.second;
    line(row.version, row.count, AgainstText(row.against));
  }
  if (silent > 0) line("no answer", silent, "");
  if (idle > 0) line("not started", idle, "");
  return html + "</tbody></table></section>";
}

}  // namespace modflash::fleet::html
