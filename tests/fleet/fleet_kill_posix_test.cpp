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
    fleet_process_ = std::make_unique<process::ChildProcess>();
    process::StartOptions options;
    options.errorFile = (dir_.path() / "fleet.err").string();
    std::string error;
    ASSERT_TRUE(fleet_process_->Start(MODFLASH_FLEET_BIN, args, options, error))
        << error;
  }

  // Reads the fleet's output for `ms` milliseconds; false when it ended.
  bool Follow(int ms) {
    const auto until = SteadyClock::now() + std::chrono::milliseconds(ms);
    while (SteadyClock::now() < until) {
      if (!fleet_process_->ReadOutput(out_)) return false;
      process::ChildProcess::WaitForAny({fleet_process_.get()}, 50);
    }
    return true;
  }

  std::unique_ptr<process::ChildProcess> fleet_process_;
  std::string out_;
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
  int killed = 0;
  bool ended = false;
  const auto deadline = SteadyClock::now() + std::chrono::minutes(6);
  process::ChildExit exit;
  while (!ended && SteadyClock::now() < deadline) {
    if (killed < kills && Follow(pause(random))) {
      fleet_process_->Kill();
      ASSERT_EQ(fleet_process_->Wait().signal, SIGKILL);
      ++killed;
      StartFleet({"--resume", runDir_.string(), "--plain"});
      continue;
    }
    while (Follow(1000) && SteadyClock::now() < deadline) {
    }
    exit = fleet_process_->Wait();
    // A kill after the end was written leaves nothing to resume.
    ended = exit.status != 2 ||
            out_.find("has finished; nothing to resume") != std::string::npos;
    if (!ended) break;
  }
  ASSERT_TRUE(ended) << out_;
  EXPECT_EQ(killed, kills) << "the run ended before every kill\n" << out_;
  const json run = json::parse(ReadText(runDir_ / "run.json"), nullptr, false);
  EXPECT_EQ(run["state"], "finished") << out_;
  const std::vector<json> records = ReadRecords(runDir_);
  ASSERT_EQ(records.size(), fleet_.size()) << out_;
  for (size_t i = 0; i < fleet_.size(); ++i) {
    const auto connections = fleet_.reader(i).Connections();
    // One update a reader: a second one, at once or later, would show as
    // a second connection; a cut one as flash that is not the image.
    ASSERT_EQ(connections.size(), 1u) << "reader " << i + 1 << "\n" << out_;
    EXPECT_TRUE(connections[0].flashMatchesExpect)
        << "reader " << i + 1 << ": a transfer was cut\n"
        << out_;
    EXPECT_EQ(records[i]["outcome"] == "updated",
              connections[0].flashMatchesExpect)
        << records[i].dump() << "\n"
        << out_;
  }
  EXPECT_EQ(exit.status, 0) << out_;
  fleet_.Stop();
  fleet_.Wait();
  EXPECT_EQ(simLog_.str().find("DIFFERS"), std::string::npos) << simLog_.str();
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
  while (out_.find(" started ") == std::string::npos &&
         SteadyClock::now() < deadline && Follow(100)) {
  }
  ASSERT_NE(out_.find(" started "), std::string::npos) << out_;
  const fs::path journal = runDir_ / "journal.jsonl";
  fs::rename(journal, runDir_ / "journal.before");
  fs::create_directories(journal);
  while (Follow(1000) &&
         SteadyClock::now() < deadline + std::chrono::minutes(3)) {
  }
  const process::ChildExit exit = fleet_process_->Wait();
  EXPECT_EQ(exit.status, 3) << out_;
  const std::string said = "cannot write " + journal.string();
  EXPECT_NE(out_.find(said), std::string::npos) << out_;
  EXPECT_NE(ReadText(runDir_ / "fleet.log").find(said), std::string::npos);
  // The first update ended whole; the second reader was never started.
  fleet_.Stop();
  fleet_.Wait();
  ASSERT_EQ(fleet_.reader(0).Connections().size(), 1u);
  EXPECT_TRUE(fleet_.reader(0).Connections()[0].flashMatchesExpect);
  EXPECT_TRUE(fleet_.reader(1).Connections().empty()) << out_;
  const std::vector<json> records = ReadRecords(runDir_);
  ASSERT_EQ(records.size(), 2u) << out_;
  EXPECT_EQ(records[0]["outcome"], "updated");
  EXPECT_EQ(records[1]["outcome"], "not-started");
}

}  // namespace
}  // namespace modflash::testing
