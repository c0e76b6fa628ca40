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
#include "fleet/report/report.h"

namespace modflash::fleet {

namespace fs = std::filesystem;

namespace {

// A log path that stays inside its run folder: relative, without "..".
bool InsideFolder(const std::string& file) {
  if (file.empty() || file.find(':') != std::string::npos) return false;
  const fs::path path(file);
  if (path.has_root_name() || path.has_root_directory()) return false;
  for (const fs::path& part : path) {
    if (part == "..") return false;
  }
  return true;
}

// Copies the log of `record` from `from` to out/logs/SUBFOLDER/ and points
// its log_file at the copy; a log that is missing, or whose path would
// leave its folder, is left out (null).
void CopyLog(Json& record, const fs::path& from, const fs::path& out,
             const std::string& subfolder) {
  const std::string file = Text(record, field::kLogFile);
  if (file.empty()) return;
  const std::string copy = "logs/" + subfolder + "/" + file;
  std::error_code ec;
  if (InsideFolder(file) && fs::is_regular_file(from / file, ec)) {
    fs::create_directories((out / copy).parent_path(), ec);
    if (fs::copy_file(from / file, out / copy,
                      fs::copy_options::overwrite_existing, ec)) {
      record[field::kLogFile] = copy;
      return;
    }
  }
  record[field::kLogFile] = nullptr;
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

// No run folder twice, and the output neither one of them nor inside one
// (its report would be read while it is written). Run folders that do not
// exist are left to the reading, which names them.
bool CheckFolders(const std::string& out,
                  const std::vector<std::string>& folders) {
  std::error_code ec;
  const fs::path target = fs::weakly_canonical(out, ec);
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
    if (Inside(target, path)) {
      std::cout << "modflash-fleet: the merge folder " << out
                << " is the run folder " << folder << " or inside it\n";
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

bool WriteMerge(const fs::path& out, const std::vector<Json>& merged,
                const Json& info, std::string& error) {
  if (!WriteMergedReport(out, merged) ||
      !WriteJsonFile((out / "run.json").string(), info)) {
    error = "cannot write the report in " + out.string();
    return false;
  }
  std::vector<Json> shown;
  for (const Json& r : merged) shown.push_back(AsWritten(r));
  return WriteHtmlReport(out.string(), AsWritten(info), shown, error);
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
      std::cout << "modflash-fleet: " << error << "\n";
      return false;
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
    std::cout << " " << count.get<long long>() << " " << outcome;
  }
  std::cout << "\n";
  for (const UnreachableSite& site : unreachable) {
    std::cout << "modflash-fleet: site " << site.name << " was not reached ("
              << site.records.size() << " reader(s) not started)\n";
  }
  std::cout << "Report: " << out << "/report.html\n";
}

}  // namespace

MergeResult Merge(const MergeRequest& o) {
  std::vector<RunFolder> runs;
  std::vector<UnreachableSite> unreachable;
  if (!ReadInputs(o, runs, unreachable)) return MergeResult::kRefused;
  const fs::path out = o.out;
  std::error_code ec;
  fs::create_directories(out, ec);
  if (!fs::is_directory(out, ec)) {
    std::cout << "modflash-fleet: cannot make the merge folder " << o.out
              << "\n";
    return MergeResult::kRefused;
  }
  CopyLogs(runs, out);
  std::vector<Json> merged = MergeRecords(runs);
  for (const UnreachableSite& site : unreachable) {
    merged.insert(merged.end(), site.records.begin(), site.records.end());
  }
  const Json info = MergeRunInfo(runs, merged, o.commandLine, unreachable);
  std::string error;
  if (!WriteMerge(out, merged, info, error)) {
    std::cout << "modflash-fleet: " << error << "\n";
    return MergeResult::kWriteFailed;
  }
  PrintSummary(o.out, runs.size(), merged.size(), info, unreachable);
  return MergeResult::kMerged;
}

}  // namespace modflash::fleet
