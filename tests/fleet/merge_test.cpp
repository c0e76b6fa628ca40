#include "fleet/merge/merge.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fleet/cli/merge_command.h"
#include "fleet/plan/inventory.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace modflash::fleet {
namespace {

Json Record(const std::string& address, const std::string& outcome,
            const std::string& start) {
  Json r = {{"name", "dock-" + address.substr(address.rfind('.') + 1)},
            {"address", address},
            {"port", 5000},
            {"outcome", outcome},
            {"file_version", "V1.2.3"},
            {"log_file", "001-dock.log"}};
  if (!start.empty()) r["start_time"] = start;
  return r;
}

RunFolder Folder(const std::string& path, const std::string& start,
                 const std::string& site, std::vector<Json> records) {
  RunFolder run;
  run.path = path;
  if (!start.empty() || !site.empty()) {
    run.run = {{"kind", "program"}, {"start_time", start}};
    if (!site.empty()) run.run["site"] = site;
  }
  run.records = std::move(records);
  return run;
}

// A run and its retry, given in either order: the retry's record stands,
// the first run's is kept as an attempt, and each names its run and site.
TEST(MergeTest, LatestRunsRecordStandsAndEarlierOnesAreAttempts) {
  const RunFolder first =
      Folder("runs/hall-a", "2026-01-01T10:00:00", "",
             {Record("10.0.0.1", "failed", "2026-01-01T10:00:05"),
              Record("10.0.0.2", "updated", "2026-01-01T10:00:05")});
  const RunFolder retry =
      Folder("runs/hall-a-retry", "2026-01-01T12:00:00", "",
             {Record("10.0.0.1", "updated", "2026-01-01T12:00:01")});
  for (const bool retryFirst : {false, true}) {
    SCOPED_TRACE(retryFirst ? "retry given first" : "retry given last");
    const std::vector<Json> merged =
        MergeRecords(retryFirst ? std::vector<RunFolder>{retry, first}
                                : std::vector<RunFolder>{first, retry});
    ASSERT_EQ(merged.size(), 2u);
    const Json& again = merged[0];
    EXPECT_EQ(again["address"], "10.0.0.1");
    EXPECT_EQ(again["outcome"], "updated");
    EXPECT_EQ(again["run"], "hall-a-retry");
    EXPECT_EQ(again["site"], "hall-a-retry");  // no --site: the folder name
    ASSERT_EQ(again["attempts"].size(), 1u);
    EXPECT_EQ(again["attempts"][0]["outcome"], "failed");
    EXPECT_EQ(again["attempts"][0]["run"], "hall-a");
    EXPECT_FALSE(again["attempts"][0].contains("attempts"));
    EXPECT_EQ(merged[1]["run"], "hall-a");
    EXPECT_FALSE(merged[1].contains("attempts"));
  }
}

// Without run.json the first record's start orders the runs, without any
// time the command line does. A merged folder's attempts stay attempts.
TEST(MergeTest, OrderFallsBackToRecordTimesThenArgumentOrder) {
  const RunFolder later = Folder(
      "b", "", "", {Record("10.0.0.1", "updated", "2026-01-02T09:00:00")});
  const RunFolder earlier = Folder(
      "a", "", "", {Record("10.0.0.1", "failed", "2026-01-01T09:00:00")});
  EXPECT_EQ(MergeRecords({later, earlier})[0]["outcome"], "updated");
  const RunFolder untimedA =
      Folder("a", "", "", {Record("10.0.0.1", "failed", "")});
  const RunFolder untimedB =
      Folder("b", "", "", {Record("10.0.0.1", "not-started", "")});
  EXPECT_EQ(MergeRecords({untimedA, untimedB})[0]["outcome"], "not-started");
  EXPECT_EQ(MergeRecords({untimedB, untimedA})[0]["outcome"], "failed");

  RunFolder merged = Folder("m", "", "", MergeRecords({earlier, later}));
  merged.run = {{"kind", "merge"}, {"start_time", "2026-01-01T09:00:00"}};
  const RunFolder third =
      Folder("c", "2026-01-03T09:00:00", "",
             {Record("10.0.0.1", "failed", "2026-01-03T09:00:01")});
  const Json last = MergeRecords({third, merged})[0];
  EXPECT_EQ(last["run"], "c");
  ASSERT_EQ(last["attempts"].size(), 2u);
  EXPECT_EQ(last["attempts"][0]["run"], "a");
  EXPECT_EQ(last["attempts"][1]["run"], "b");
}

// Two sites with the same addresses stay apart; the counts per site add up
// to the whole, and both images are listed.
TEST(MergeTest, SitesStayApartAndTheirCountsAddUp) {
  Json otherImage = Record("10.0.0.2", "failed", "2026-01-01T10:00:00");
  otherImage["file_version"] = "V1.3.0";
  const std::vector<RunFolder> runs = {
      Folder("n", "2026-01-01T10:00:00", "north",
             {Record("10.0.0.1", "updated", "2026-01-01T10:00:01"),
              Record("10.0.0.2", "updated", "2026-01-01T10:00:01")}),
      Folder("s", "2026-01-01T10:00:00", "south",
             {Record("10.0.0.1", "failed", "2026-01-01T10:00:01"), otherImage,
              Record("10.0.0.3", "not-started", "")})};
  std::vector<RunFolder> withImages = runs;
  withImages[0].run["image"] = {{"file", "a.bin"}, {"version", "V1.2.3"}};
  withImages[1].run["image"] = {{"file", "b.bin"}, {"version", "V1.3.0"}};
  withImages[1].run["holds"] = "not a list";  // nothing a merge takes
  const std::vector<Json> merged = MergeRecords(withImages);
  ASSERT_EQ(merged.size(), 5u);
  const Json info = MergeRunInfo(withImages, merged, {"modflash-fleet"});
  EXPECT_EQ(info["kind"], "merge");
  EXPECT_EQ(info["counts"],
            Json({{"updated", 2}, {"failed", 2}, {"not-started", 1}}));
  EXPECT_EQ(info["sites"]["north"]["counts"], Json({{"updated", 2}}));
  EXPECT_EQ(info["sites"]["south"]["counts"],
            Json({{"failed", 2}, {"not-started", 1}}));
  EXPECT_EQ(info["runs"], Json({"n", "s"}));
  ASSERT_EQ(info["images"].size(), 2u);
  EXPECT_TRUE(info["image"].is_null());
  // A merge's run.json is a run's, with its images, sites and runs.
  std::vector<std::string> keys;
  for (const auto& item : info.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{
                      "tool", "tool_version", "modflash_version", "kind",
                      "command_line", "start_time", "end_time", "image",
                      "images", "site", "retry_of", "waves", "stopped",
                      "counts", "sites", "runs"}));
  EXPECT_TRUE(info["modflash_version"].is_null());
  EXPECT_EQ(info["start_time"], "2026-01-01T10:00:00");
  EXPECT_EQ(MergeRunInfo({withImages[0]}, {merged[0]}, {})["image"],
            withImages[0].run["image"]);
}

// Where --merge stands, with or without its folder, it names the merge;
// a value that merely starts so, or a line without it, does not.
TEST(MergeTest, MergeIsFoundAnywhereOnTheCommandLine) {
  const auto isMerge = [](std::vector<std::string> args) {
    args.insert(args.begin(), "modflash-fleet");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    return IsMergeCommand(static_cast<int>(argv.size()), argv.data());
  };
  EXPECT_TRUE(isMerge({"--merge", "all", "first", "second"}));
  EXPECT_TRUE(isMerge({"--merge=all", "first"}));
  EXPECT_TRUE(isMerge({"--unreachable-site", "x", "--merge", "all", "a"}));
  EXPECT_TRUE(isMerge({"--merge"}));
  EXPECT_TRUE(isMerge({"--merge", "out", "--help"}));
  EXPECT_TRUE(isMerge({"--plain", "--merge", "--bogus"}));
  EXPECT_FALSE(isMerge({"--program", "img.bin", "fleet.txt", "-j", "4"}));
  EXPECT_FALSE(isMerge({"--merged", "x"}));
  EXPECT_FALSE(isMerge({"--help"}));
  EXPECT_FALSE(isMerge({}));
}

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

void WriteText(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// The command: logs are copied beside the merged report; folders without a
// report, or merged into themselves, are refused before anything is written.
TEST(MergeTest, CommandCopiesLogsAndRefusesBadFolders) {
  testing::TempDir dir;
  const auto a = dir.path() / "site-a";
  const auto b = dir.path() / "site-b";
  WriteText(a / "report.jsonl",
            Record("10.0.0.1", "failed", "2026-01-01T10:00:00").dump() + "\n");
  WriteText(a / "001-dock.log", "transcript a\n");
  WriteText(b / "report.jsonl",
            Record("10.0.0.1", "updated", "2026-01-01T11:00:00").dump() + "\n");
  WriteText(b / "001-dock.log", "transcript b\n");
  const auto out = dir.path() / "merged";
  testing::ProcessResult r = testing::RunProcess(
      MODFLASH_FLEET_BIN, {"--merge", out.string(), a.string(), b.string()});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const Json record = Json::parse(ReadText(out / "report.jsonl"));
  EXPECT_EQ(record["log_file"], "logs/site-b/001-dock.log");
  EXPECT_EQ(record["attempts"][0]["log_file"], "logs/site-a/001-dock.log");
  EXPECT_EQ(ReadText(out / "logs/site-a/001-dock.log"), "transcript a\n");
  EXPECT_EQ(ReadText(out / "logs/site-b/001-dock.log"), "transcript b\n");
  EXPECT_EQ(Json::parse(ReadText(out / "run.json"))["counts"]["updated"], 1);
  EXPECT_NE(ReadText(out / "report.csv").find("\ndock-1,"), std::string::npos);
  EXPECT_NE(ReadText(out / "report.html").find("<svg id=\"timeline-svg\""),
            std::string::npos);
  // A merge with a failure: the page's retry names the merged folder, not
  // the partial one it was written in.
  const auto failedOut = dir.path() / "merged-a";
  r = testing::RunProcess(MODFLASH_FLEET_BIN,
                          {"--merge", failedOut.string(), a.string()});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string page = ReadText(failedOut / "report.html");
  EXPECT_NE(page.find("--retry " + failedOut.string() + "</code>"),
            std::string::npos);
  EXPECT_EQ(page.find(".partial"), std::string::npos);

  const auto empty = dir.path() / "empty";
  std::filesystem::create_directories(empty);
  const std::vector<std::vector<std::string>> refused = {
      {"--merge", (dir.path() / "m1").string(), a.string(), empty.string()},
      {"--merge", (a / "inside").string(), a.string(), b.string()},
      {"--merge", a.string(), b.string(), a.string()},
      {"--merge", (dir.path() / "m2").string(), b.string(), (b / ".").string()},
      {"--merge", out.string(), a.string()},  // not empty
      {"--merge", (dir.path() / "m3").string()}};
  for (const auto& args : refused) {
    SCOPED_TRACE(args[1]);
    r = testing::RunProcess(MODFLASH_FLEET_BIN, args);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
  }
  r = testing::RunProcess(MODFLASH_FLEET_BIN, refused[0]);
  EXPECT_NE(r.out.find(empty.string() + " holds no report"), std::string::npos)
      << r.out;
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "m1"));
  EXPECT_FALSE(std::filesystem::exists(a / "inside"));
}

// A site whose machine was not reached: its inventory's readers follow the
// reached sites' records as not-started, run.json marks it, and the counts
// still add up. A site cannot be both reached and not, nor have a bad
// inventory; nothing is written then.
TEST(MergeTest, UnreachableSitesListTheirReadersAsNotStarted) {
  testing::TempDir dir;
  const auto north = dir.path() / "north";
  WriteText(north / "report.jsonl",
            Record("10.0.0.1", "updated", "2026-01-01T10:00:00").dump() + "\n");
  WriteText(north / "run.json", R"({"kind": "program", "site": "north"})");
  const auto south = dir.path() / "south.txt";
  WriteText(south, "# south\n10.0.0.1 gate-1\n10.0.0.2:5001\n");
  const auto out = dir.path() / "all";
  testing::ProcessResult r = testing::RunProcess(
      MODFLASH_FLEET_BIN,
      {"--merge", out.string(), "--unreachable-site", "south=" + south.string(),
       north.string(), "--unreachable-site", "east"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("site south was not reached (2 reader(s) not started)"),
            std::string::npos)
      << r.out;
  std::ifstream jsonl(out / "report.jsonl");
  std::vector<Json> records;
  for (std::string line; std::getline(jsonl, line);) {
    records.push_back(Json::parse(line));
  }
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0]["site"], "north");
  EXPECT_EQ(records[1]["name"], "gate-1");
  EXPECT_EQ(records[2]["name"], "10.0.0.2:5001");
  for (size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(records[i]["site"], "south");
    EXPECT_EQ(records[i]["outcome"], "not-started");
    EXPECT_TRUE(records[i]["exit_status"].is_null());
  }
  const Json info = Json::parse(ReadText(out / "run.json"));
  EXPECT_EQ(info["counts"], Json({{"updated", 1}, {"not-started", 2}}));
  EXPECT_EQ(
      info["sites"],
      Json({{"north", {{"counts", {{"updated", 1}}}, {"reachable", true}}},
            {"south", {{"counts", {{"not-started", 2}}}, {"reachable", false}}},
            {"east", {{"counts", Json::object()}, {"reachable", false}}}}));
  EXPECT_NE(ReadText(out / "report.html").find("south, east"),
            std::string::npos);

  WriteText(dir.path() / "bad.txt", "10.0.0.1\n10.0.0.300\n");
  // Bounded like every other file read: too many lines is refused unread.
  WriteText(dir.path() / "long.txt", std::string(kMaxInventoryLines, '\n'));
  const std::vector<std::string> refused = {
      "north", "south=" + (dir.path() / "missing.txt").string(),
      "south=" + (dir.path() / "bad.txt").string(), "=" + south.string(),
      "south=" + (dir.path() / "long.txt").string()};
  for (const std::string& site : refused) {
    SCOPED_TRACE(site);
    const auto target = dir.path() / "refused";
    r = testing::RunProcess(MODFLASH_FLEET_BIN,
                            {"--merge", target.string(), north.string(),
                             "--unreachable-site", site});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_FALSE(std::filesystem::exists(target));
    if (site.find("long.txt") != std::string::npos) {
      EXPECT_NE(r.out.find("has more than 200000 lines"), std::string::npos)
          << r.out;
    }
  }
}

}  // namespace
}  // namespace modflash::fleet
