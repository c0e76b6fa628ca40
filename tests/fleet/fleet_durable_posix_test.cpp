// A rollout outlives its terminal (POSIX). A hang-up is no interruption:
// the run goes on as planned and writes its report. A fleet killed outright
// leaves its updates running, each writing its transcript into the run
// folder itself. A report that cannot be written has an exit status of its
// own.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "contract/output_lines.h"
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

class FleetDurableTest : public SimFleetTest {
 protected:
  // Starts the fleet in a session of its own, as `setsid` would: every
  // reader at once, plain lines on a pipe to us.
  void StartFleet() {
    process::StartOptions options;
    options.errorFile = (dir_.path() / "fleet.err").string();
    options.detached = true;
    std::string error;
    ASSERT_TRUE(fleet_process_.Start(
        MODFLASH_FLEET_BIN,
        {"--program", imagePath_, inventoryPath_, "-j",
         std::to_string(fleet_.size()), "--force", "--allow-older", "--plain",
         "--out", runDir_.string(), "--modflash", MODFLASH_BIN},
        options, error))
        << error;
  }

  std::string Transcript(size_t i) const {
    return ReadText(runDir_ / ("00" + std::to_string(i + 1) + "-reader-" +
                               std::to_string(i + 1) + ".log"));
  }

  // Reads the fleet's output until `ready` holds; false when the fleet
  // ended first or 120 s passed.
  template <typename Ready>
  bool ReadUntil(Ready ready) {
    const auto deadline = SteadyClock::now() + std::chrono::seconds(120);
    while (SteadyClock::now() < deadline) {
      if (!fleet_process_.ReadOutput(out_)) return false;
      if (ready()) return true;
      process::ChildProcess::WaitForAny({&fleet_process_}, 200);
    }
    return false;
  }

  // Until every transcript shows its transfer under way: a line marker at
  // the start of a line.
  bool ReadUntilTransfersRun() {
    return ReadUntil([this] {
      for (size_t i = 0; i < fleet_.size(); ++i) {
        if (Transcript(i).find(std::string("\n") + output::kMarkerStart) ==
            std::string::npos) {
          return false;
        }
      }
      return true;
    });
  }

  // The rest of the fleet's output and its end; killed after 300 s.
  process::ChildExit ReadToTheEnd() {
    const auto deadline = SteadyClock::now() + std::chrono::seconds(300);
    while (fleet_process_.ReadOutput(out_)) {
      if (SteadyClock::now() > deadline) fleet_process_.Kill();
      process::ChildProcess::WaitForAny({&fleet_process_}, 200);
    }
    return fleet_process_.Wait();
  }

  // Every reader's connections ended with the image in its flash, whole.
  void ExpectEveryFlashMatches() {
    for (size_t i = 0; i < fleet_.size(); ++i) {
      const auto connections = fleet_.reader(i).Connections();
      ASSERT_EQ(connections.size(), 1u) << "reader " << i + 1;
      EXPECT_TRUE(connections[0].flashMatchesExpect) << "reader " << i + 1;
    }
    fleet_.Stop();
    fleet_.Wait();
    const std::string log = simLog_.str();
    size_t matches = 0;
    for (size_t at = 0; (at = log.find("flash equals the expected image",
                                       at)) != std::string::npos;
         ++at) {
      ++matches;
    }
    EXPECT_EQ(matches, fleet_.size()) << log;
    EXPECT_EQ(log.find("DIFFERS"), std::string::npos) << log;
  }

  process::ChildProcess fleet_process_;
  std::string out_;
};

// A dropped SSH session or a closed terminal window: the fleet carries on,
// its lines from then on in fleet.log, and ends with its report.
TEST_F(FleetDurableTest, HangUpLetsTheRunFinishWithItsReport) {
  StartReaders(4, true);
  StartFleet();
  ASSERT_TRUE(ReadUntilTransfersRun()) << out_;
  kill(static_cast<pid_t>(fleet_process_.Id()), SIGHUP);
  const process::ChildExit exit = ReadToTheEnd();
  const std::string log = ReadText(runDir_ / "fleet.log");
  EXPECT_TRUE(exit.exited);
  EXPECT_EQ(exit.status, 0) << out_ << log;
  const std::vector<json> records = ReadRecords(runDir_);
  ASSERT_EQ(records.size(), 4u) << out_ << log;
  for (const json& r : records) {
    EXPECT_EQ(r["outcome"], "updated") << r.dump();
    EXPECT_EQ(r["version_after"], "V1.2.3") << r.dump();
  }
  const json run = json::parse(ReadText(runDir_ / "run.json"), nullptr, false);
  EXPECT_EQ(run["counts"]["updated"], 4) << run.dump();
  // The lines after the hang-up went to the log, not to the terminal.
  EXPECT_NE(log.find("Hang-up: the terminal has gone."), std::string::npos)
      << log;
  EXPECT_NE(log.find("/report.csv"), std::string::npos) << log;
  EXPECT_EQ(out_.find("/report.csv"), std::string::npos) << out_;
  ExpectEveryFlashMatches();
}

// kill -9 of the fleet: its updates go on to their end, each transcript
// whole in the run folder.
TEST_F(FleetDurableTest, KilledFleetLeavesItsUpdatesToFinish) {
  StartReaders(4, true);
  StartFleet();
  ASSERT_TRUE(ReadUntilTransfersRun()) << out_;
  fleet_process_.Kill();
  EXPECT_EQ(fleet_process_.Wait().signal, SIGKILL);
  for (size_t i = 0; i < fleet_.size(); ++i) {
    ASSERT_TRUE(fleet_.reader(i).WaitForConnections(1, 300000));
  }
  // The verdict is the last line; it may follow the connection's end.
  const std::string verdict = output::kUpdated;
  const auto deadline = SteadyClock::now() + std::chrono::seconds(60);
  for (size_t i = 0; i < fleet_.size(); ++i) {
    while (Transcript(i).find(verdict) == std::string::npos &&
           SteadyClock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_NE(Transcript(i).find(verdict), std::string::npos) << Transcript(i);
  }
  ExpectEveryFlashMatches();
}

// The report's place is taken while the run goes on: the run ends with
// status 3, not with 1 ("some readers failed").
TEST_F(FleetDurableTest, UnwritableReportHasAnExitStatusOfItsOwn) {
  StartReaders(1, false);
  StartFleet();
  // An update takes more than 10 s of the module's restarts.
  ASSERT_TRUE(ReadUntil([this] {
    return out_.find(" started ") != std::string::npos;
  })) << out_;
  fs::create_directories(runDir_ / "report.jsonl");
  const process::ChildExit exit = ReadToTheEnd();
  EXPECT_TRUE(exit.exited);
  EXPECT_EQ(exit.status, 3) << out_;
  EXPECT_NE(out_.find("cannot write the report"), std::string::npos) << out_;
  ExpectEveryFlashMatches();
}

}  // namespace
}  // namespace modflash::testing
