// A run folder from elsewhere may hold links: a merge copies no file from
// outside it, whether the log, a folder on its way or the report itself is
// the link, and a retry reads no report through one; nor does --check
// --last-audit, which warns of the readers an audit saw at newer versions.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/run_folder.h"
#include "tests/support/temp_dir.h"

namespace modflash::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// Every file below `folder` whose contents hold `secret`.
std::vector<std::string> Holding(const fs::path& folder,
                                 const std::string& secret) {
  std::vector<std::string> found;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    if (e.is_regular_file() &&
        ReadText(e.path()).find(secret) != std::string::npos) {
      found.push_back(e.path().string());
    }
  }
  return found;
}

// Logs that are links (to an absolute path, out through ".."), a log
// reached through a linked folder, a hard link to a file outside, and a
// log_file that climbs out: none is copied, each is named, the rest merge.
TEST(UntrustedFolderPosixTest, MergeCopiesNoLogFromOutsideTheFolder) {
  TempDir dir;
  const fs::path outside = dir.path() / "outside";
  Write(outside / "SECRET.txt", "the secret\n");
  const fs::path site = dir.path() / "sites" / "north";
  const std::vector<std::string> logs = {"abslink.log", "rellink.log",
                                         "linkdir/SECRET.txt", "hard.log",
                                         "../../outside/SECRET.txt", "ok.log"};
  std::string report;
  for (size_t i = 0; i < logs.size(); ++i) {
    report += json({{"name", "dock-" + std::to_string(i)},
                    {"address", "10.0.0." + std::to_string(i + 1)},
                    {"port", 5000},
                    {"outcome", "updated"},
                    {"log_file", logs[i]}})
                  .dump() +
              "\n";
  }
  Write(site / "report.jsonl", report);
  Write(site / "ok.log", "transcript\n");
  fs::create_symlink(outside / "SECRET.txt", site / "abslink.log");
  fs::create_symlink("../../outside/SECRET.txt", site / "rellink.log");
  fs::create_directory_symlink(outside, site / "linkdir");
  fs::create_hard_link(outside / "SECRET.txt", site / "hard.log");
  const fs::path out = dir.path() / "merged";
  const ProcessResult r = RunProcess(
      MODFLASH_FLEET_BIN, {"--merge", out.string(), site.string()}, 60000);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Holding(out, "the secret").empty()) << r.out;
  for (const char* line :
       {"/abslink.log: not copied: is reached through a symbolic link",
        "/rellink.log: not copied: is reached through a symbolic link",
        "/linkdir/SECRET.txt: not copied: is reached through a symbolic link",
        "/hard.log: not copied: has another hard link",
        "/../../outside/SECRET.txt: not copied: the path leaves its folder"}) {
    EXPECT_NE(r.out.find(site.string() + line), std::string::npos)
        << line << "\n" << r.out;
  }
  const std::vector<json> records = ReadRecords(out);
  ASSERT_EQ(records.size(), logs.size());
  for (size_t i = 0; i + 1 < logs.size(); ++i) {
    EXPECT_TRUE(records[i]["log_file"].is_null()) << logs[i];
  }
  EXPECT_EQ(ReadText(out / records.back()["log_file"].get<std::string>()),
            "transcript\n");
}

// report.jsonl or run.json as a link (to /dev/zero, to a file outside) or
// as a pipe: the merge and the retry refuse at once with a line that says
// why, and the merge writes nothing.
TEST(UntrustedFolderPosixTest, ReportsThroughLinksOrDevicesAreRefused) {
  TempDir dir;
  const std::string record =
      R"({"name":"d","address":"127.0.0.1","port":1,"outcome":"failed"})"
      "\n";
  const fs::path zero = dir.path() / "zero";
  fs::create_directories(zero);
  fs::create_symlink("/dev/zero", zero / "report.jsonl");
  const fs::path fifo = dir.path() / "fifo";
  fs::create_directories(fifo);
  ASSERT_EQ(mkfifo((fifo / "report.jsonl").c_str(), 0600), 0);
  const fs::path passwd = dir.path() / "passwd";
  Write(passwd / "report.jsonl", record);
  Write(dir.path() / "elsewhere.json", R"({"kind": "program"})");
  fs::create_symlink(dir.path() / "elsewhere.json", passwd / "run.json");
  const struct {
    fs::path folder;
    std::string line;
  } cases[] = {
      {zero, "/report.jsonl: is reached through a symbolic link"},
      {fifo, "/report.jsonl: is not a regular file"},
      {passwd, "/run.json: is reached through a symbolic link"},
  };
  const std::string image = dir.Write("image.bin", MakeImage(1, 2, 3));
  for (const auto& c : cases) {
    const fs::path out = dir.path() / ("out-" + c.folder.filename().string());
    ProcessResult r = RunProcess(
        MODFLASH_FLEET_BIN, {"--merge", out.string(), c.folder.string()},
        60000);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.out.find(c.folder.string() + c.line), std::string::npos)
        << r.out;
    EXPECT_FALSE(fs::exists(out));
    r = RunProcess(MODFLASH_FLEET_BIN,
                   {"--program", image, "--retry", c.folder.string(),
                    "--modflash", MODFLASH_BIN, "--force", "--out",
                    (dir.path() / "again").string()},
                   60000);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.out.find("cannot retry: " + c.folder.string() + c.line),
              std::string::npos)
        << r.out;
  }
}

// A retry cannot know whether a line it cannot read is a reader to retry:
// it refuses, naming the line, where a merge would leave it out.
TEST(UntrustedFolderPosixTest, RetryRefusesAnUnreadableLine) {
  TempDir dir;
  const fs::path site = dir.path() / "north";
  Write(site / "report.jsonl",
        R"({"name":"d","address":"127.0.0.1","port":1,"outcome":"failed"})"
        "\n" +
            std::string(100000, '[') + "\n");
  const std::string image = dir.Write("image.bin", MakeImage(1, 2, 3));
  const ProcessResult r = RunProcess(
      MODFLASH_FLEET_BIN,
      {"--program", image, "--retry", site.string(), "--modflash",
       MODFLASH_BIN, "--force", "--out", (dir.path() / "again").string()},
      60000);
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_NE(r.out.find("cannot retry: " + site.string() +
                       "/report.jsonl:2: nested deeper than 32 levels (1 "
                       "line(s) cannot be read"),
            std::string::npos)
      << r.out;
  EXPECT_FALSE(fs::exists(dir.path() / "again"));
}

// An audit (its folder's name with an escape in it) that saw six of seven
// readers at newer versions than the image's V1.2.3: one line counts them
// and names five, escaped; an answer of another reader, or none, counts
// for nothing. A folder that is no audit's, links to its report or has an
// oversized run.json is refused: exit status 2.
TEST(UntrustedFolderPosixTest, LastAuditWarnsOfNewerModules) {
  TempDir dir;
  std::string inventory;
  std::string report =
      R"({"address":"127.0.0.1","port":5007,"outcome":"no-module-answer",)"
      R"("version_before":"V3.0.0"})"
      "\n"
      R"({"address":"127.0.0.2","port":5007,"outcome":"answered",)"
      R"("version_before":"V3.0.0"})"
      "\n";
  const char* versions[] = {"V1.3.0",  "V2.0.0", "V1.2.4", "V1.10.0",
                            "V1.2.10", "V9.0.0", "V1.2.3"};
  for (int i = 0; i < 7; ++i) {
    inventory += "127.0.0.1:" + std::to_string(5001 + i) + " hall-" +
                 static_cast<char>('a' + i) + "\n";
    report += json({{"address", "127.0.0.1"},
                    {"port", 5001 + i},
                    {"outcome", "answered"},
                    {"version_before", versions[i]}})
                  .dump() +
              "\n";
  }
  const fs::path audit = dir.path() / "audit\x1b[2J";
  Write(audit / "report.jsonl", report);
  Write(audit / "run.json", R"({"kind": "audit"})");
  const std::string list = dir.Write(
      "fleet.txt", std::vector<uint8_t>(inventory.begin(), inventory.end()));
  const std::string image = dir.Write("image.bin", MakeImage(1, 2, 3));
  const auto check = [&](const fs::path& folder, const char* more) {
    return RunProcess(MODFLASH_FLEET_BIN,
                      {"--program", image, list, "--check", "--last-audit",
                       folder.string(), more});
  };
  ProcessResult r = check(audit, "--plain");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\nwarning: the image (V1.2.3) is older than what the "
                       "audit in " +
                       (dir.path() / "audit\\x1b[2J").string() +
                       " saw on 6 reader(s): hall-a (V1.3.0), hall-b (V2.0.0), "
                       "hall-c (V1.2.4), hall-d (V1.10.0), hall-e (V1.2.10) "
                       "and 1 more; --program leaves them as they are "
                       "(newer-than-image) unless --allow-older is given.\n"
                       "Runs: "),
            std::string::npos)
      << r.out;
  EXPECT_NE(check(audit, "--allow-older")
                .out.find("and 1 more; --allow-older downgrades them.\n"),
            std::string::npos);

  const fs::path program = dir.path() / "program";
  Write(program / "report.jsonl", report);
  Write(program / "run.json", R"({"kind": "program"})");
  const fs::path linked = dir.path() / "linked";
  Write(linked / "run.json", R"({"kind": "audit"})");
  fs::create_symlink(audit / "report.jsonl", linked / "report.jsonl");
  const fs::path large = dir.path() / "large";
  Write(large / "report.jsonl", report);
  Write(large / "run.json", R"({"kind": "audit"})");
  fs::resize_file(large / "run.json", 17u << 20);
  for (const auto& [folder, reason] :
       std::vector<std::pair<fs::path, std::string>>{
           {program, " is not the run folder of an audit"},
           {linked, "/report.jsonl: is reached through a symbolic link"},
           {large, "/run.json: "}}) {
    r = check(folder, "--plain");
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(
        r.out.find("modflash-fleet: --last-audit: " + folder.string() + reason),
        std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Runs: "), std::string::npos) << r.out;
  }
}

}  // namespace
}  // namespace modflash::testing
