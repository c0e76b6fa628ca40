// The fleet killed outright (kill -9) at random moments of a rollout in
// waves, each time resumed with --resume: in the end every record tells
// what the reader's flash holds, no transfer was cut and no reader was
// updated twice. MODFLASH_KILL_TEST_KILLS sets the number of kills
// (default 20); the seed is printed, MODFLASH_KILL_TEST_SEED repeats one.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "process/child_process.h"
#include "tests/support/fleet_process.h"
#include "tests/support/run_folder.h"
#include "tests/support/sim_fleet_test.h"
#include "tests/support/temp_dir.h"
#include "tools/readersim/fleet_sim.h"

namespace modflash::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

int FromEnvironment(const char* name, int otherwise) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::atoi(text) : otherwise;
}

class FleetKillTest : public SimFleetTest {
 protected:
  void StartFleet(const std::vector<std::string>& args) {
    fleet_process_.Start(args, (dir_.path() / "fleet.err").string());
  }
  bool Follow(int ms) { return fleet_process_.Follow(ms); }
  const std::string& out() const { return fleet_process_.out(); }

  FleetProcess fleet_process_;
};

TEST_F(FleetKillTest, KilledAtRandomAndResumedEachRecordTellsTheFlash) {
  const int kills = FromEnvironment("MODFLASH_KILL_TEST_KILLS", 20);
  const auto seed = static_cast<unsigned>(FromEnvironment(
      "MODFLASH_KILL_TEST_SEED", static_cast<int>(std::random_device{}())));
  std::cout << "kill test: seed " << seed << ", " << kills << " kill(s)\n";
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> pause(100, 1500);
  StartReaders(12, false);
  // Four waves of three: each update takes the module's restarts, so
  // updates are in flight at most moments.
  StartFleet({"--program", imagePath_, inventoryPath_, "-j", "3", "--waves",
              "3,3,3,3", "--force", "--allow-older", "--plain", "--out",
              runDir_.string(), "--modflash", MODFLASH_BIN});
  // Its plan is on the disk once the first start entry is: a kill before
  // it leaves no run to resume.
  const auto planned = [&] { return fs::exists(runDir_ / "journal.jsonl"); };
  ASSERT_TRUE(fleet_process_.FollowUntil(planned, std::chrono::seconds(120)))
      << out();
  int killed = 0;
  bool ended = false;
  const auto deadline = SteadyClock::now() + std::chrono::minutes(6);
  process::ChildExit exit;
  while (!ended && SteadyClock::now() < deadline) {
    if (killed < kills && Follow(pause(random))) {
      fleet_process_.child().Kill();
      ASSERT_EQ(fleet_process_.child().Wait().signal, SIGKILL);
      ++killed;
      StartFleet({"--resume", runDir_.string(), "--plain"});
      continue;
    }
    while (Follow(1000) && SteadyClock::now() < deadline) {
    }
    exit = fleet_process_.child().Wait();
    // A kill after the end was written leaves nothing to resume.
    ended = exit.status != 2 ||
            out().find("has finished; nothing to resume") != std::string::npos;
    if (!ended) break;
  }
  ASSERT_TRUE(ended) << out();
  EXPECT_EQ(killed, kills) << "the run ended before every kill\n" << out();
  const json run = json::parse(ReadText(runDir_ / "run.json"), nullptr, false);
  EXPECT_EQ(run["state"], "finished") << out();
  const std::vector<json> records = ReadRecords(runDir_);
  ASSERT_EQ(records.size(), fleet_.size()) << out();
  ASSERT_NO_FATAL_FAILURE(
      ExpectEachRecordTellsTheFlash(fleet_, records, 1, out()));
  for (size_t i = 0; i < fleet_.size(); ++i) {
    EXPECT_TRUE(fleet_.reader(i).Connections().back().flashMatchesExpect)
        << "reader " << i + 1 << "\n"
        << out();
  }
  EXPECT_EQ(exit.status, 0) << out();
  fleet_.Stop();
  fleet_.Wait();
  EXPECT_EQ(simLog_.str().find("DIFFERS"), std::string::npos) << simLog_.str();
}

// The terminal hung up at a random moment of each of three runs side by
// side, each on readers of its own: each run goes on by itself to its end,
// with its report and the exit status of a run without a hang-up.
TEST_F(FleetKillTest, HungUpAtRandomEachRunFinishesWithItsReport) {
  constexpr size_t kRuns = 3;
  constexpr size_t kEach = 3;
  const auto seed = static_cast<unsigned>(FromEnvironment(
      "MODFLASH_KILL_TEST_SEED", static_cast<int>(std::random_device{}())));
  std::cout << "hang-up test: seed " << seed << "\n";
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> pause(0, 1500);
  StartReaders(kRuns * kEach, false);
  std::istringstream inventory(ReadText(inventoryPath_));
  std::vector<std::string> lines;
  for (std::string line; std::getline(inventory, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), kRuns * kEach);
  std::vector<FleetProcess> fleets(kRuns);
  std::vector<fs::path> folders;
  for (size_t n = 0; n < kRuns; ++n) {
    std::string text;
    for (size_t i = 0; i < kEach; ++i) text += lines[n * kEach + i] + "\n";
    const std::string list =
        dir_.Write("fleet-" + std::to_string(n) + ".txt",
                   std::vector<uint8_t>(text.begin(), text.end()));
    folders.push_back(dir_.path() / ("run-" + std::to_string(n + 1)));
    fleets[n].Start(
        {"--program", imagePath_, list, "-j", "3", "--force", "--allow-older",
         "--plain", "--out", folders[n].string(), "--modflash", MODFLASH_BIN},
        (dir_.path() / ("fleet-" + std::to_string(n) + ".err")).string());
  }
  for (size_t n = 0; n < kRuns; ++n) {
    // From the first start entry on: the fleet takes hang-ups by then.
    const auto started = [&] {
      return fs::exists(folders[n] / "journal.jsonl");
    };
    ASSERT_TRUE(fleets[n].FollowUntil(started, std::chrono::seconds(120)))
        << fleets[n].out();
    ASSERT_TRUE(fleets[n].Follow(pause(random))) << "ended before its hang-up\n"
                                                 << fleets[n].out();
    ASSERT_EQ(kill(static_cast<pid_t>(fleets[n].child().Id()), SIGHUP), 0);
  }
  for (size_t n = 0; n < kRuns; ++n) {
    const process::ChildExit exit =
        fleets[n].ReadToTheEnd(std::chrono::seconds(180));
    const std::string log = ReadText(folders[n] / "fleet.log");
    const std::string context =
        fleets[n].out() + "\nexit " + std::to_string(exit.status) +
        ", signal " + std::to_string(exit.signal) + "\nfleet.log:\n" + log;
    EXPECT_TRUE(exit.exited && exit.status == 0) << context;
    EXPECT_EQ(log.rfind("Hang-up: the terminal has gone.", 0), 0u) << context;
    const json run =
        json::parse(ReadText(folders[n] / "run.json"), nullptr, false);
    EXPECT_TRUE(run.is_object() && run["state"] == "finished") << context;
    const std::vector<json> records = ReadRecords(folders[n]);
    for (const json& r : records) EXPECT_EQ(r["outcome"], "updated") << context;
    ASSERT_NO_FATAL_FAILURE(
        ExpectEachRecordTellsTheFlash(fleet_, records, 1, context, n * kEach));
  }
}

// A journal entry that cannot be written (here the journal's place is
// taken by a folder; a full disk does the same): the running update
// finishes, no other starts, and the exit status says that the run folder
// does not tell all.
TEST_F(FleetKillTest, UnwritableJournalStopsFurtherStarts) {
  StartReaders(2, false);
  StartFleet({"--program", imagePath_, inventoryPath_, "-j", "1", "--force",
              "--allow-older", "--plain", "--out", runDir_.string(),
              "--modflash", MODFLASH_BIN});
  const auto deadline = SteadyClock::now() + std::chrono::seconds(120);
  const fs::path journal = runDir_ / "journal.jsonl";
  // The first update runs once its running entry is written.
  const auto running = [&] {
    return ReadText(journal).find("\"entry\":\"running\"") != std::string::npos;
  };
  ASSERT_TRUE(fleet_process_.FollowUntil(running, std::chrono::seconds(120)))
      << out();
  fs::rename(journal, runDir_ / "journal.before");
  fs::create_directories(journal);
  while (Follow(1000) &&
         SteadyClock::now() < deadline + std::chrono::minutes(3)) {
  }
  const process::ChildExit exit = fleet_process_.child().Wait();
  EXPECT_EQ(exit.status, 3) << out();
  const std::string said = "cannot write " + journal.string();
  EXPECT_NE(out().find(said), std::string::npos) << out();
  EXPECT_NE(ReadText(runDir_ / "fleet.log").find(said), std::string::npos);
  // The first update ended whole; the second reader was never started.
  fleet_.Stop();
  fleet_.Wait();
  ASSERT_EQ(fleet_.reader(0).Connections().size(), 1u);
  EXPECT_TRUE(fleet_.reader(0).Connections()[0].flashMatchesExpect);
  EXPECT_TRUE(fleet_.reader(1).Connections().empty()) << out();
  const std::vector<json> records = ReadRecords(runDir_);
  ASSERT_EQ(records.size(), 2u) << out();
  EXPECT_EQ(records[0]["outcome"], "updated");
  EXPECT_EQ(records[1]["outcome"], "not-started");
}

}  // namespace
}  // namespace modflash::testing
