#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <tuple>

#include "fleet/html/html_report.h"
#include "fleet/merge/merge.h"
#include "fleet/plan/inventory.h"
#include "fleet/report/json_lines.h"
#include "fleet/report/report.h"
#include "fleet/system/folder_file.h"

namespace modflash::fleet {

namespace fs = std::filesystem;

namespace {

// Copies the log of `record` from `from` to out/logs/SUBFOLDER/ and points
// its log_file at the copy. A log that is missing is left out (null); so is
// one that leaves its folder, is a link or a device, or is too large, and
// the console says so.
void CopyLog(Json& record, const fs::path& from, const fs::path& out,
             const std::string& subfolder) {
  const std::string file = Text(record, field::kLogFile);
  if (file.empty()) return;
  record[field::kLogFile] = nullptr;
  std::string reason = "the path leaves its folder";
  FolderFile copied = FolderFile::kRefused;
  const std::string copy = "logs/" + subfolder + "/" + file;
  if (InsideFolderPath(file)) {
    std::error_code ec;
    fs::create_directories((out / copy).parent_path(), ec);
    copied = CopyFolderFile(from.string(), file, kLogFileBytes,
                            (out / copy).string(), reason);
  }
  if (copied == FolderFile::kRead) {
    record[field::kLogFile] = copy;
  } else if (copied != FolderFile::kMissing) {
    std::cout << "modflash-fleet: " << Shown((from / file).string())
              << ": not copied: " << Shown(reason) << "\n";
  }
}

// The logs of every record and attempt, each run into a subfolder of its
// own name ("name-2" when two runs share one).
void CopyLogs(std::vector<RunFolder>& runs, const fs::path& out) {
  std::set<std::string> used;
  for (RunFolder& run : runs) {
    std::string subfolder = RunName(run);
    for (int n = 2; !used.insert(subfolder).second; ++n) {
      subfolder = RunName(run) + "-" + std::to_string(n);
    }
    for (Json& record : run.records) {
      CopyLog(record, run.path, out, subfolder);
      const auto attempts = record.find(field::kAttempts);
      if (attempts == record.end() || !attempts->is_array()) continue;
      for (Json& a : *attempts) CopyLog(a, run.path, out, subfolder);
    }
  }
}

// report.jsonl as merged, and report.csv: the known fields, then any other
// plain field that the runs' records hold.
bool WriteMergedReport(const fs::path& out, const std::vector<Json>& records) {
  std::vector<std::string> fields = ReportFields();
  for (const Json& r : records) {
    for (const auto& [name, value] : r.items()) {
      if (value.is_structured()) continue;
      if (std::find(fields.begin(), fields.end(), name) == fields.end()) {
        fields.push_back(name);
      }
    }
  }
  std::vector<std::vector<CsvCell>> rows;
  for (const Json& r : records) rows.push_back(JsonCells(r, fields));
  std::ofstream jsonl(out / "report.jsonl", std::ios::binary);
  std::ofstream csv(out / "report.csv", std::ios::binary);
  WriteJsonl(jsonl, records);
  WriteCsv(csv, fields, rows);
  jsonl.close();
  csv.close();
  return jsonl && csv;
}

}  // namespace

namespace {

bool Inside(const fs::path& path, const fs::path& folder) {
  auto p = path.begin();
  for (auto f = folder.begin(); f != folder.end(); ++f, ++p) {
    if (f->empty()) continue;  // a trailing separator
    if (p == path.end() || *p != *f) return false;
  }
  return true;
}

// Where the merge is written before it is renamed to OUT_FOLDER: a merge
// cut off (a crash, a full disk) leaves OUT_FOLDER as it was, and the next
// merge into it replaces what this folder holds.
fs::path PartialFolder(const std::string& out) {
  fs::path path = fs::path(out).lexically_normal();
  if (path.filename().empty()) path = path.parent_path();
  return path.string() + ".partial";
}

// No run folder twice, and the output neither one of them nor inside one
// (its report would be read while it is written), nor its partial folder
// one that holds a run folder. Run folders that do not exist are left to
// the reading, which names them.
bool CheckFolders(const std::string& out,
                  const std::vector<std::string>& folders) {
  std::error_code ec;
  const fs::path target = fs::weakly_canonical(out, ec);
  const fs::path partial = fs::weakly_canonical(PartialFolder(out), ec);
  std::map<fs::path, std::string> seen;
  for (const std::string& folder : folders) {
    const fs::path path = fs::canonical(folder, ec);
    if (ec) continue;
    const auto [it, added] = seen.emplace(path, folder);
    if (!added) {
      std::cout << "modflash-fleet: the run folder " << folder
                << " is given twice (also as " << it->second << ")\n";
      return false;
    }
    if (Inside(target, path) || Inside(path, partial)) {
      std::cout << "modflash-fleet: the merge folder " << out
                << (Inside(target, path) ? " is the run folder "
                                         : ".partial holds the run folder ")
                << folder << (Inside(target, path) ? " or inside it" : "")
                << "\n";
      return false;
    }
  }
  if (fs::exists(out, ec) && !fs::is_empty(out, ec)) {
    std::cout << "modflash-fleet: the merge folder " << out
              << " is not empty\n";
    return false;
  }
  return true;
}

// `shown`: the folder as the page's --retry command names it, the one that
// `out` is renamed to.
bool WriteMerge(const fs::path& out, const fs::path& shown,
                const std::vector<Json>& merged, const Json& info,
                std::string& error) {
  if (!WriteMergedReport(out, merged) ||
      !WriteJsonFile((out / "run.json").string(), info)) {
    error = "cannot write the report in " + out.string();
    return false;
  }
  std::vector<Json> records;
  for (const Json& r : merged) records.push_back(AsWritten(r));
  return WriteHtmlReport(out.string(), AsWritten(info), records, error,
                         shown.string());
}

}  // namespace

namespace {

// The run folders and the unreachable sites, all read before anything is
// written. A site is either reached (it has a run folder) or not.
bool ReadInputs(const MergeRequest& o, std::vector<RunFolder>& runs,
                std::vector<UnreachableSite>& unreachable) {
  if (!CheckFolders(o.out, o.folders)) return false;
  runs.resize(o.folders.size());
  std::set<std::string> reached;
  std::string error;
  for (size_t i = 0; i < o.folders.size(); ++i) {
    if (!ReadRunFolder(o.folders[i], runs[i], error)) {
      std::cout << "modflash-fleet: " << Shown(error) << "\n";
      return false;
    }
    for (const std::string& line : runs[i].skipped) {
      std::cout << "modflash-fleet: " << Shown(line)
                << "; the line is left out of the merge\n";
    }
    for (const std::string& line : runs[i].repaired) {
      std::cout << "modflash-fleet: " << Shown(line) << "\n";
    }
    reached.insert(RunSite(runs[i]));
    for (const Json& r : runs[i].records) {
      reached.insert(Text(r, field::kSite));
    }
  }
  std::set<std::string> names;
  for (const std::string& argument : o.unreachable) {
    UnreachableSite site;
    if (!ReadUnreachableSite(argument, site)) return false;
    if (reached.count(site.name) > 0 || !names.insert(site.name).second) {
      std::cout << "modflash-fleet: the site " << site.name
                << " is given as unreachable and also "
                << (reached.count(site.name) > 0 ? "has a run folder"
                                                 : "once more")
                << "\n";
      return false;
    }
    unreachable.push_back(site);
  }
  return true;
}

void PrintSummary(const std::string& out, size_t runs, size_t records,
                  const Json& info,
                  const std::vector<UnreachableSite>& unreachable) {
  std::cout << "modflash-fleet: merged " << runs << " run(s) into " << records
            << " reader record(s):";
  for (const auto& [outcome, count] : info[run_key::kCounts].items()) {
    std::cout << " " << count.get<long long>() << " " << Shown(outcome);
  }
  std::cout << "\n";
  for (const UnreachableSite& site : unreachable) {
    std::cout << "modflash-fleet: site " << Shown(site.name)
              << " was not reached (" << site.records.size()
              << " reader(s) not started)\n";
  }
  std::cout << "Report: " << out << "/report.html\n";
}

}  // namespace

namespace {

// The lines of the runs' reports that were left out, for run.json.
Json SkippedLines(const std::vector<RunFolder>& runs) {
  Json lines = Json::array();
  for (const RunFolder& run : runs) {
    for (const std::string& line : run.skipped) lines.push_back(line);
  }
  return lines;
}

// Writes the merge into `work`, then renames it to `out` (an empty `out`
// is replaced).
MergeResult WriteInto(const fs::path& work, const fs::path& out,
                      std::vector<RunFolder>& runs, const MergeRequest& o,
                      const std::vector<UnreachableSite>& unreachable) {
  CopyLogs(runs, work);
  std::vector<Json> merged = MergeRecords(runs);
  for (const UnreachableSite& site : unreachable) {
    merged.insert(merged.end(), site.records.begin(), site.records.end());
  }
  Json info = MergeRunInfo(runs, merged, o.commandLine, unreachable);
  info["skipped_lines"] = SkippedLines(runs);
  std::string error;
  if (!WriteMerge(work, out, merged, info, error)) {
    std::cout << "modflash-fleet: " << error << "\n";
    return MergeResult::kWriteFailed;
  }
  std::error_code ec;
  fs::remove(out, ec);  // only an empty folder: CheckFolders saw to it
  fs::rename(work, out, ec);
  if (ec) {
    std::cout << "modflash-fleet: cannot rename " << work.string() << " to "
              << o.out << "\n";
    return MergeResult::kWriteFailed;
  }
  PrintSummary(o.out, runs.size(), merged.size(), info, unreachable);
  return MergeResult::kMerged;
}

}  // namespace

MergeResult Merge(const MergeRequest& o) {
  std::vector<RunFolder> runs;
  std::vector<UnreachableSite> unreachable;
  if (!ReadInputs(o, runs, unreachable)) return MergeResult::kRefused;
  const fs::path work = PartialFolder(o.out);
  std::error_code ec;
  fs::remove_all(work, ec);  // what a merge cut off left
  fs::create_directories(work, ec);
  if (!fs::is_directory(work, ec)) {
    std::cout << "modflash-fleet: cannot make the merge folder "
              << work.string() << "\n";
    return MergeResult::kRefused;
  }
  return WriteInto(work, o.out, runs, o, unreachable);
}

}  // namespace modflash::fleet
