// modflash-fleet.exe ended abruptly (TerminateProcess, as the Task Manager
// does) in a run of three readers: its updates, which run without its
// console and outside its job, finish on their own, and --resume waits for
// them and reports each as its reader's flash tells.

#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/fleet_process.h"
#include "tests/support/run_folder.h"
#include "tests/support/sim_fleet_test.h"

namespace modflash::testing {
namespace {

using nlohmann::json;
using FleetTerminateTest = SimFleetTest;

TEST_F(FleetTerminateTest, TerminatedFleetsUpdatesFinishAndResumeReportsThem) {
  StartReaders(3, false);
  FleetProcess fleet;
  const std::string errors = (dir_.path() / "fleet.err").string();
  fleet.Start({"--program", imagePath_, inventoryPath_, "-j", "3", "--force",
               "--allow-older", "--plain", "--out", runDir_.string(),
               "--modflash", MODFLASH_BIN},
              errors);
  // All three run once their running entries are written.
  const auto allRun = [&] {
    const std::string text = ReadText(runDir_ / "journal.jsonl");
    size_t count = 0;
    for (size_t at = 0;
         (at = text.find("\"entry\":\"running\"", at)) != std::string::npos;
         ++at) {
      ++count;
    }
    return count == 3;
  };
  ASSERT_TRUE(fleet.FollowUntil(allRun, std::chrono::seconds(300)))
      << fleet.out();
  fleet.child().Kill();
  fleet.child().Wait();
  fleet.Start({"--resume", runDir_.string(), "--plain"}, errors);
  const process::ChildExit exit = fleet.ReadToTheEnd(std::chrono::seconds(600));
  EXPECT_EQ(exit.status, 0) << fleet.out();
  // Each update was the earlier run's, judged from its transcript once it
  // had ended (waited for if it still ran): none started again.
  size_t judged = 0;
  const std::string said = "of the earlier run ended; updated";
  for (size_t at = 0; (at = fleet.out().find(said, at)) != std::string::npos;
       ++at) {
    ++judged;
  }
  EXPECT_EQ(judged, 3u) << fleet.out();
  const json run = json::parse(ReadText(runDir_ / "run.json"), nullptr, false);
  EXPECT_EQ(run["state"], "finished") << fleet.out();
  const std::vector<json> records = ReadRecords(runDir_);
  for (const json& r : records) EXPECT_EQ(r["outcome"], "updated") << r.dump();
  ASSERT_NO_FATAL_FAILURE(
      ExpectEachRecordTellsTheFlash(fleet_, records, 1, fleet.out()));
}

}  // namespace
}  // namespace modflash::testing
