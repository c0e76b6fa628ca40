#include "fleet/console/summary.h"

#include <algorithm>
#include <map>
#include <utility>

#include "fleet/console/lines.h"
#include "fleet/console/table.h"
#include "fleet/report/report.h"
#include "fleet/text/text.h"
#include "fleet/transcript/judgement.h"

namespace modflash::fleet {

std::string VersionCounts(const std::vector<ReaderRecord>& records) {
  std::map<std::string, size_t> versions;
  size_t silent = 0;
  size_t unread = 0;
  for (const ReaderRecord& r : records) {
    if (r.outcome == Outcome::kAnswered) {
      ++versions[r.facts.versionBefore];
    } else if (r.outcome == Outcome::kNotStarted) {
      ++unread;
    } else {
      ++silent;
    }
  }
  std::vector<std::pair<std::string, size_t>> order(versions.begin(),
                                                    versions.end());
  std::stable_sort(
      order.begin(), order.end(),
      [](const auto& a, const auto& b) { return a.second > b.second; });
  std::string text;
  for (const auto& [version, count] : order) {
    text += (text.empty() ? "" : ", ") + Shown(version) + ": " +
            std::to_string(count) + (text.empty() ? " readers" : "");
  }
  const auto add = [&](const char* what, size_t count) {
    if (count == 0) return;
    text += (text.empty() ? "" : ", ") + std::string(what) + ": " +
            std::to_string(count);
  };
  add("no answer", silent);
  add("not read", unread);
  return text;
}

void AuditSummary(std::ostream& out, const std::vector<ReaderRecord>& records,
                  const std::string& imageVersion, size_t width) {
  const bool current = !imageVersion.empty();
  std::vector<ConsoleTable::Column> columns = {{"name", 0, true, kNameWidth},
                                               {"address", 0, true, 0},
                                               {"outcome", 16, false, 0},
                                               {"version", 9, false, 0},
                                               {"baud", 7, false, 0, 2}};
  if (current) columns.push_back({"current", 7, false, 0, 1});
  columns.push_back({"detail", 0, false, 0});
  ConsoleTable table(columns);
  for (const ReaderRecord& r : records) {
    std::vector<std::string> cells = {
        Shown(r.reader.name), ShownWhere(r.reader), OutcomeName(r.outcome),
        Shown(r.facts.versionBefore), Shown(r.facts.initialBaud)};
    if (current) {
      const bool newer = r.current == false &&
                         NewerThanImage(r.facts.versionBefore, imageVersion);
      cells.push_back(!r.current   ? ""
                      : *r.current ? "yes"
                      : newer      ? "newer"
                                   : "no");
    }
    cells.push_back(Shown(r.firstError.empty() ? r.failureLine : r.firstError));
    table.Add(cells);
  }
  out << "\n";
  table.Print(out, width);
  const std::string counts =
      std::to_string(records.size()) +
      " reader(s). Module versions: " + VersionCounts(records);
  out << "\n" << Joined(WrapWords(counts, width, "  "));
}

}  // namespace modflash::fleet
