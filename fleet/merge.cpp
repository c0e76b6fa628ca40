#include "fleet/merge.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <tuple>

#include "fleet/fleet_main.h"
#include "fleet/html_report.h"
#include "fleet/inventory.h"
#include "fleet/report.h"

namespace modflash::fleet {
namespace {

namespace fs = std::filesystem;

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
  std::string start = run.run.is_object() ? Text(run.run, "start_time") : "";
  if (!start.empty()) return start;
  for (const Json& r : run.records) {
    const std::string s = Text(r, "start_time");
    if (!s.empty() && (start.empty() || s < start)) start = s;
  }
  return start;
}

// The --site of the record's run; "" when it had none. A merge names the
// run folder as the site of the records whose run had none.
std::string ExplicitSite(const RunFolder& run, const Json& record,
                         bool fromMerge) {
  const std::string own = Text(record, "site");
  if (fromMerge) return own == Text(record, "run") ? "" : own;
  if (!own.empty()) return own;
  return run.run.is_object() ? Text(run.run, "site") : "";
}

std::string ReaderKey(const std::string& site, const Json& record) {
  std::string where = Text(record, "address");
  if (where.empty()) where = Text(record, "host");
  if (where.empty()) where = Text(record, "name");
  const auto port = record.find("port");
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
  const std::string site = run.run.is_object() ? Text(run.run, "site") : "";
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
  std::error_code ec;
  std::ifstream in(path, std::ios::binary);
  if (!in || fs::is_directory(path, ec)) {
    std::cout << "modflash-fleet: cannot read the inventory " << path << "\n";
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(in)),
                         std::istreambuf_iterator<char>());
  std::vector<InventoryError> errors;
  const std::vector<Reader> readers = ParseInventory(text, errors);
  for (const InventoryError& e : errors) {
    std::cout << path << ":" << e.line << ": " << e.message << "\n";
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
    const bool fromMerge =
        run.run.is_object() && Text(run.run, "kind") == "merge";
    const std::string runStart = RunStart(run);
    for (const Json& original : run.records) {
      Json record = original;
      if (Text(record, "run").empty()) record["run"] = RunName(run);
      const std::string site = ExplicitSite(run, record, fromMerge);
      record["site"] = site.empty() ? Text(record, "run") : site;
      const std::string key = ReaderKey(site, record);
      if (byReader.find(key) == byReader.end()) order.push_back(key);
      std::vector<Entry>& entries = byReader[key];
      // A merged folder's own attempts are earlier records too.
      const auto earlier = record.find("attempts");
      if (earlier != record.end() && earlier->is_array()) {
        for (const Json& a : *earlier) {
          entries.push_back(
              {a, Text(a, "start_time"), Text(a, "start_time"), i});
        }
      }
      record.erase("attempts");
      const std::string start = Text(record, "start_time");
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
      record["attempts"] = attempts;
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
        Text(image, "version") + "\n" + Text(image, "sha256");
    if (image.is_object() && seen.insert(key).second) images.push_back(image);
  };
  if (run.run.is_object()) {
    const auto list = run.run.find("images");
    if (list != run.run.end() && list->is_array()) {
      for (const Json& image : *list) add(image);
    }
    const auto image = run.run.find("image");
    if (image != run.run.end() && image->is_object()) add(*image);
    return;
  }
  for (const Json& r : run.records) {
    if (Text(r, "file_version").empty()) continue;
    const std::string sha256 = Text(r, "image_sha256");
    add({{"file", nullptr},
         {"version", Text(r, "file_version")},
         {"sha256", sha256.empty() ? Json() : Json(sha256)}});
  }
}

}  // namespace

Json MergeRunInfo(const std::vector<RunFolder>& runs,
                  const std::vector<Json>& merged,
                  const std::vector<std::string>& commandLine,
                  const std::vector<UnreachableSite>& unreachable) {
  std::vector<Json> images;
  std::set<std::string> seen;
  std::string first;
  std::string last;
  Json names = Json::array();
  for (const RunFolder& run : runs) {
    AddImages(run, images, seen);
    const std::string start = RunStart(run);
    if (!start.empty() && (first.empty() || start < first)) first = start;
    std::string end = run.run.is_object() ? Text(run.run, "end_time") : "";
    for (const Json& r : run.records) end = std::max(end, Text(r, "end_time"));
    last = std::max(last, end);
    names.push_back(RunName(run));
  }
  std::vector<std::string> siteOrder;
  std::map<std::string, std::vector<Json>> bySite;
  for (const Json& r : merged) {
    const std::string site = Text(r, "site");
    if (bySite.find(site) == bySite.end()) siteOrder.push_back(site);
    bySite[site].push_back(r);
  }
  Json sites = Json::object();
  for (const std::string& site : siteOrder) {
    // A site with a report was reached.
    sites[site] = {{"counts", CountOutcomes("merge", bySite[site])},
                   {"reachable", true}};
  }
  for (const UnreachableSite& site : unreachable) {
    sites[site.name] = {{"counts", CountOutcomes("merge", bySite[site.name])},
                        {"reachable", false}};
  }
  Json info = Json::object();
  info["tool"] = "modflash-fleet";
  info["tool_version"] = FleetVersion();
  info["modflash_version"] = nullptr;
  info["kind"] = "merge";
  info["command_line"] = commandLine;
  info["start_time"] = first.empty() ? Json() : Json(first);
  info["end_time"] = last.empty() ? Json() : Json(last);
  info["image"] = images.size() == 1 ? images[0] : Json();
  info["images"] = images;
  info["site"] = nullptr;
  info["retry_of"] = nullptr;
  info["waves"] = nullptr;
  info["stopped"] = nullptr;
  info["counts"] = CountOutcomes("merge", merged);
  info["sites"] = sites;
  info["runs"] = names;
  return info;
}

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
  const std::string file = Text(record, "log_file");
  if (file.empty()) return;
  const std::string copy = "logs/" + subfolder + "/" + file;
  std::error_code ec;
  if (InsideFolder(file) && fs::is_regular_file(from / file, ec)) {
    fs::create_directories((out / copy).parent_path(), ec);
    if (fs::copy_file(from / file, out / copy,
                      fs::copy_options::overwrite_existing, ec)) {
      record["log_file"] = copy;
      return;
    }
  }
  record["log_file"] = nullptr;
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
      const auto attempts = record.find("attempts");
      if (attempts == record.end() || !attempts->is_array()) continue;
      for (Json& a : *attempts) CopyLog(a, run.path, out, subfolder);
    }
  }
}

std::string CsvText(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>() ? "yes" : "no";
  if (value.is_number()) return value.dump();
  return "";
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
  std::ofstream jsonl(out / "report.jsonl", std::ios::binary);
  std::ofstream csv(out / "report.csv", std::ios::binary);
  for (size_t i = 0; i < fields.size(); ++i) {
    csv << (i > 0 ? "," : "") << fields[i];
  }
  csv << "\n";
  for (const Json& r : records) {
    jsonl << r.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
          << "\n";
    for (size_t i = 0; i < fields.size(); ++i) {
      const auto it = r.find(fields[i]);
      const bool number = it != r.end() && it->is_number();
      csv << (i > 0 ? "," : "")
          << CsvField(ValidUtf8(it == r.end() ? "" : CsvText(*it)), number);
    }
    csv << "\n";
  }
  jsonl.close();
  csv.close();
  return jsonl && csv;
}

}  // namespace

bool IsMergeCommand(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--merge" || arg.rfind("--merge=", 0) == 0) return true;
  }
  return false;
}

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

struct MergeOptions {
  std::string out;
  std::vector<std::string> folders;
  std::vector<std::string> unreachable;  // NAME or NAME=INVENTORY
};

int ParseMergeOptions(int argc, char** argv, MergeOptions& o) {
  CLI::App app{
      "Puts the reports of several run folders (sites, retries) together "
      "into one report in OUT_FOLDER; for a reader in several runs the "
      "latest record stands and the earlier ones are kept as its attempts.",
      "modflash-fleet --merge"};
  app.add_option("--merge", o.out, "The folder for the merged report")
      ->required();
  app.add_option("--unreachable-site", o.unreachable,
                 "A site whose machine could not be reached (repeatable); "
                 "with =INVENTORY its readers are listed as not-started")
      ->type_name("NAME[=INVENTORY]")
      ->allow_extra_args(false);
  app.add_option("RUN_FOLDER", o.folders, "Run folders to merge");
  try {
    app.parse(argc, argv);
    if (o.folders.empty() && o.unreachable.empty()) {
      throw CLI::RequiredError("RUN_FOLDER");
    }
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "modflash-fleet: " << e.what()
              << "\nRun modflash-fleet --merge OUT --help for the options.\n";
    return kBadInput;
  }
  return -1;
}

bool WriteMerge(const fs::path& out, const std::vector<Json>& merged,
                const Json& info, std::string& error) {
  if (!WriteMergedReport(out, merged) ||
      !WriteJsonFile((out / "run.json").string(), info)) {
    error = "cannot write the report in " + out.string();
    return false;
  }
  return WriteHtmlReport(out.string(), error);
}

}  // namespace

namespace {

// The run folders and the unreachable sites, all read before anything is
// written. A site is either reached (it has a run folder) or not.
bool ReadInputs(const MergeOptions& o, std::vector<RunFolder>& runs,
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
    for (const Json& r : runs[i].records) reached.insert(Text(r, "site"));
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
  for (const auto& [outcome, count] : info["counts"].items()) {
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

int MergeMain(int argc, char** argv) {
  MergeOptions o;
  const int parsed = ParseMergeOptions(argc, argv, o);
  if (parsed >= 0) return parsed;
  std::vector<RunFolder> runs;
  std::vector<UnreachableSite> unreachable;
  if (!ReadInputs(o, runs, unreachable)) return kBadInput;
  const fs::path out = o.out;
  std::error_code ec;
  fs::create_directories(out, ec);
  if (!fs::is_directory(out, ec)) {
    std::cout << "modflash-fleet: cannot make the merge folder " << o.out
              << "\n";
    return kBadInput;
  }
  CopyLogs(runs, out);
  std::vector<Json> merged = MergeRecords(runs);
  for (const UnreachableSite& site : unreachable) {
    merged.insert(merged.end(), site.records.begin(), site.records.end());
  }
  const Json info = MergeRunInfo(
      runs, merged, std::vector<std::string>(argv, argv + argc), unreachable);
  std::string error;
  if (!WriteMerge(out, merged, info, error)) {
    std::cout << "modflash-fleet: " << error << "\n";
    return kSomeNotUpdated;
  }
  PrintSummary(o.out, runs.size(), merged.size(), info, unreachable);
  return kAllSucceeded;
}

}  // namespace modflash::fleet
