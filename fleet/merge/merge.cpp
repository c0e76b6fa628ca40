#include "fleet/merge/merge.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <tuple>

#include "fleet/plan/inventory.h"
#include "fleet/report/report.h"

namespace modflash::fleet {
namespace {

namespace fs = std::filesystem;

// run.json's kind of a merge.
constexpr char kMergeKind[] = "merge";

// A text of the run's run.json; "" when it has none.
std::string RunText(const RunFolder& run, const char* key) {
  return run.run.is_object() ? Text(run.run, key) : "";
}

// One record of one run, with what orders it among the reader's records.
struct Entry {
  Json record;
  std::string runStart;  // the run's start, else its first record's
  std::string start;     // the record's own start time
  size_t argument = 0;   // the run's position on the command line

  bool operator<(const Entry& other) const {
    return std::tie(runStart, start, argument) <
           std::tie(other.runStart, other.start, other.argument);
  }
};

std::string RunStart(const RunFolder& run) {
  std::string start = RunText(run, run_key::kStartTime);
  if (!start.empty()) return start;
  for (const Json& r : run.records) {
    const std::string s = Text(r, field::kStartTime);
    if (!s.empty() && (start.empty() || s < start)) start = s;
  }
  return start;
}

// The --site of the record's run; "" when it had none. A merge names the
// run folder as the site of the records whose run had none.
std::string ExplicitSite(const RunFolder& run, const Json& record,
                         bool fromMerge) {
  const std::string own = Text(record, field::kSite);
  if (fromMerge) return own == Text(record, field::kRun) ? "" : own;
  if (!own.empty()) return own;
  return RunText(run, run_key::kSite);
}

std::string ReaderKey(const std::string& site, const Json& record) {
  std::string where = Text(record, field::kAddress);
  if (where.empty()) where = Text(record, field::kHost);
  if (where.empty()) where = Text(record, field::kName);
  const auto port = record.find(field::kPort);
  return site + "\n" + where + ":" +
         (port != record.end() && port->is_number() ? port->dump() : "");
}

}  // namespace

std::string RunName(const RunFolder& run) {
  std::error_code ec;
  fs::path path = fs::weakly_canonical(fs::path(run.path), ec);
  if (ec) path = fs::path(run.path).lexically_normal();
  if (path.filename().empty()) path = path.parent_path();
  return path.filename().string();
}

std::string RunSite(const RunFolder& run) {
  const std::string site = RunText(run, run_key::kSite);
  return site.empty() ? RunName(run) : site;
}

bool ReadUnreachableSite(const std::string& argument, UnreachableSite& site) {
  const size_t equals = argument.find('=');
  site.name = argument.substr(0, equals);
  site.records.clear();
  if (site.name.empty()) {
    std::cout << "modflash-fleet: --unreachable-site " << argument
              << ": the site has no name\n";
    return false;
  }
  if (equals == std::string::npos) return true;
  const std::string path = argument.substr(equals + 1);
  std::string text;
  std::string error;
  if (!ReadInventoryFile(path, text, error)) {
    std::cout << "modflash-fleet: --unreachable-site " << Shown(site.name)
              << ": " << Shown(error) << "\n";
    return false;
  }
  std::vector<InventoryError> errors;
  const std::vector<Reader> readers = ParseInventory(text, errors);
  for (const InventoryError& e : errors) {
    std::cout << path << ":" << e.line << ": " << Shown(e.message) << "\n";
  }
  if (!errors.empty()) return false;
  for (const Reader& reader : readers) {
    ReaderRecord record;
    record.reader = reader;
    record.site = site.name;
    site.records.push_back(RecordJson(record));
  }
  return true;
}

std::vector<Json> MergeRecords(const std::vector<RunFolder>& runs) {
  std::vector<std::string> order;
  std::map<std::string, std::vector<Entry>> byReader;
  for (size_t i = 0; i < runs.size(); ++i) {
    const RunFolder& run = runs[i];
    // A merge's records come from runs of their own: their own start
    // times order them.
    const bool fromMerge = RunText(run, run_key::kKind) == kMergeKind;
    const std::string runStart = RunStart(run);
    for (const Json& original : run.records) {
      Json record = original;
      if (Text(record, field::kRun).empty()) record[field::kRun] = RunName(run);
      const std::string site = ExplicitSite(run, record, fromMerge);
      record[field::kSite] = site.empty() ? Text(record, field::kRun) : site;
      const std::string key = ReaderKey(site, record);
      if (byReader.find(key) == byReader.end()) order.push_back(key);
      std::vector<Entry>& entries = byReader[key];
      // A merged folder's own attempts are earlier records too.
      const auto earlier = record.find(field::kAttempts);
      if (earlier != record.end() && earlier->is_array()) {
        for (const Json& a : *earlier) {
          entries.push_back(
              {a, Text(a, field::kStartTime), Text(a, field::kStartTime), i});
        }
      }
      record.erase(field::kAttempts);
      const std::string start = Text(record, field::kStartTime);
      entries.push_back({record, fromMerge ? start : runStart, start, i});
    }
  }
  std::vector<Json> merged;
  for (const std::string& key : order) {
    std::vector<Entry>& entries = byReader[key];
    std::stable_sort(entries.begin(), entries.end());
    Json record = entries.back().record;
    if (entries.size() > 1) {
      Json attempts = Json::array();
      for (size_t i = 0; i + 1 < entries.size(); ++i) {
        attempts.push_back(entries[i].record);
      }
      record[field::kAttempts] = attempts;
    }
    merged.push_back(record);
  }
  return merged;
}

namespace {

// Images of a run: its run.json's list or image, else the versions its
// records show (folders of earlier versions).
void AddImages(const RunFolder& run, std::vector<Json>& images,
               std::set<std::string>& seen) {
  const auto add = [&](const Json& image) {
    const std::string key =
        Text(image, run_key::kVersion) + "\n" + Text(image, run_key::kSha256);
    if (image.is_object() && seen.insert(key).second) images.push_back(image);
  };
  if (run.run.is_object()) {
    const auto list = run.run.find(run_key::kImages);
    if (list != run.run.end() && list->is_array()) {
      for (const Json& image : *list) add(image);
    }
    const auto image = run.run.find(run_key::kImage);
    if (image != run.run.end() && image->is_object()) add(*image);
    return;
  }
  for (const Json& r : run.records) {
    if (Text(r, field::kFileVersion).empty()) continue;
    const std::string sha256 = Text(r, field::kImageSha256);
    add({{run_key::kFile, nullptr},
         {run_key::kVersion, Text(r, field::kFileVersion)},
         {run_key::kSha256, sha256.empty() ? Json() : Json(sha256)}});
  }
}

// Each site's counts, and whether it was reached (it has a report).
Json SitesInfo(const std::vector<Json>& merged,
               const std::vector<UnreachableSite>& unreachable) {
  const std::vector<SiteRecords> reached = BySite(merged);
  Json sites = Json::object();
  for (const SiteRecords& site : reached) {
    sites[site.site] = {
        {run_key::kCounts, CountOutcomes(kMergeKind, site.records)},
        {run_key::kReachable, true}};
  }
  for (const UnreachableSite& site : unreachable) {
    const auto it =
        std::find_if(reached.begin(), reached.end(),
                     [&](const SiteRecords& s) { return s.site == site.name; });
    const std::vector<Json> none;
    sites[site.name] = {
        {run_key::kCounts,
         CountOutcomes(kMergeKind, it == reached.end() ? none : it->records)},
        {run_key::kReachable, false}};
  }
  return sites;
}

}  // namespace

Json MergeRunInfo(const std::vector<RunFolder>& runs,
                  const std::vector<Json>& merged,
                  const std::vector<std::string>& commandLine,
                  const std::vector<UnreachableSite>& unreachable) {
  RunDescription merge;
  merge.kind = kMergeKind;
  merge.commandLine = commandLine;
  merge.modflashBeside = false;
  merge.images.emplace();
  std::set<std::string> seen;
  Json names = Json::array();
  for (const RunFolder& run : runs) {
    AddImages(run, *merge.images, seen);
    const std::string start = RunStart(run);
    if (!start.empty() &&
        (merge.startTime.empty() || start < merge.startTime)) {
      merge.startTime = start;
    }
    std::string end = RunText(run, run_key::kEndTime);
    for (const Json& r : run.records) {
      end = std::max(end, Text(r, field::kEndTime));
    }
    merge.endTime = std::max(merge.endTime, end);
    names.push_back(RunName(run));
  }
  merge.more[run_key::kSites] = SitesInfo(merged, unreachable);
  merge.more[run_key::kRuns] = names;
  return RunInfo(merge, merged);
}

}  // namespace modflash::fleet
