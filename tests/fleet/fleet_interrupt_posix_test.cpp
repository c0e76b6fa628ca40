// Interrupting modflash-fleet (POSIX signals): the first SIGINT lets the
// running updates finish and starts nothing new; a second one ends them. An
// audit changes nothing and ends at the first.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "process/child_process.h"
#include "tests/support/temp_dir.h"
#include "tools/readersim/fleet_sim.h"

namespace modflash::testing {
namespace {

class FleetInterruptTest : public ::testing::Test {
 protected:
  FleetInterruptTest() : fleet_(&simLog_) {
    imagePath_ = dir_.Write("image.bin", MakeImage(1, 2, 3));
    runDir_ = dir_.path() / "run";
  }

  // Starts the fleet over three readers with `jobs`, waits until it has
  // started `started` of them and then sends `signals` SIGINTs. Returns the
  // fleet's exit status; its output lands in `out_`. `audit`: an audit of
  // readers that take the connection and never answer.
  int InterruptAfterStart(const std::string& jobs, int started, int signals,
                          bool audit = false) {
    sim::FleetSimOptions layout;
    layout.readers = 3;
    sim::SimOptions readers;
    if (audit) readers.ignoreTypes = {0x38, 0xFA};
    EXPECT_TRUE(fleet_.Start(sim::FleetReaderOptions(readers, layout)));
    const std::string inventory = fleet_.Inventory();
    const std::string inventoryPath = dir_.Write(
        "fleet.txt", std::vector<uint8_t>(inventory.begin(), inventory.end()));
    process::ChildProcess child;
    process::StartOptions options;
    options.errorFile = (dir_.path() / "fleet.err").string();
    options.ownGroup = true;
    std::string error;
    const std::vector<std::string> args =
        audit ? std::vector<std::string>{"--audit", inventoryPath,   "-j", jobs,
                                         "--out",   runDir_.string()}
              : std::vector<std::string>{
                    "--program", imagePath_, inventoryPath,    "-j",
                    jobs,        "--out",    runDir_.string(), "--modflash",
                    MODFLASH_BIN};
    EXPECT_TRUE(child.Start(MODFLASH_FLEET_BIN, args, options, error)) << error;
    bool signalled = false;
    while (child.ReadOutput(out_)) {
      size_t count = 0;
      for (size_t at = 0;
           (at = out_.find(" started ", at)) != std::string::npos; ++at) {
        ++count;
      }
      if (!signalled && count >= static_cast<size_t>(started) &&
          (audit || UpdatesBegan(started))) {
        // Let the updates get going before the interruption.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        for (int i = 0; i < signals; ++i) {
          kill(static_cast<pid_t>(child.Id()), SIGINT);
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        signalled = true;
      }
      process::ChildProcess::WaitForAny({&child}, 200);
    }
    const process::ChildExit exit = child.Wait();
    fleet_.Stop();
    fleet_.Wait();
    EXPECT_TRUE(exit.exited);
    return exit.status;
  }

  // Whether the first `count` readers have passed their version read: the
  // update's transcript exists once its child has started. A loaded machine
  // can take seconds over the read.
  bool UpdatesBegan(int count) const {
    for (int i = 1; i <= count; ++i) {
      const std::string name = "00" + std::to_string(i) + "-reader-" +
                               std::to_string(i) + ".log";
      if (!std::filesystem::exists(runDir_ / name)) return false;
    }
    return true;
  }

  std::string Report() const {
    std::ifstream in(runDir_ / "report.csv", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in),
                       std::istreambuf_iterator<char>());
  }

  TempDir dir_;
  std::string imagePath_;
  std::filesystem::path runDir_;
  std::ostringstream simLog_;
  sim::SimFleet fleet_;
  std::string out_;
};

TEST_F(FleetInterruptTest, FirstInterruptLetsRunningUpdatesFinish) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(InterruptAfterStart("1", 1, 1), 1);
  EXPECT_NE(out_.find("Interrupted: no further update starts. Waiting for the "
                      "1 running update(s) to finish"),
            std::string::npos)
      << out_;
  const std::string report = Report();
  EXPECT_NE(report.find("\nreader-1,127.0.0.1,127.0.0.1,"), std::string::npos);
  EXPECT_NE(report.find(",updated,0,0,V1.2.3,"), std::string::npos) << report;
  EXPECT_NE(report.find(",V1.0.0,V1.2.3,"), std::string::npos) << report;
  EXPECT_NE(
      report.find("\nreader-2,127.0.0.1,127.0.0.1," +
                  std::to_string(fleet_.reader(1).port()) + ",not-started,"),
      std::string::npos)
      << report;
  EXPECT_NE(report.find("\nreader-3,"), std::string::npos);
  EXPECT_TRUE(fleet_.reader(1).Connections().empty());
  EXPECT_TRUE(fleet_.reader(2).Connections().empty());
  // The one update ran its whole course (two restart waits of 8 s).
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(16));
}

TEST_F(FleetInterruptTest, SecondInterruptEndsRunningUpdates) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(InterruptAfterStart("2", 2, 2), 1);
  EXPECT_NE(out_.find("Interrupted again: ending the 2 running update(s)."),
            std::string::npos)
      << out_;
  const std::string report = Report();
  // Ended by a signal: failed, with no exit status; the third never began.
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_NE(
        report.find("\nreader-" + std::to_string(i + 1) +
                    ",127.0.0.1,127.0.0.1," +
                    std::to_string(fleet_.reader(i).port()) + ",failed,,,"),
        std::string::npos)
        << report;
  }
  EXPECT_NE(report.find(",interrupted,"), std::string::npos) << report;
  EXPECT_NE(report.find(",not-started,"), std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
}

// The readers never answer: their reads would take 10 s of time-outs. The
// audit ends at once, every reader not-started, the report written.
TEST_F(FleetInterruptTest, InterruptEndsAnAuditAtOnce) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(InterruptAfterStart("3", 3, 1, true), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
  EXPECT_NE(out_.find("Interrupted: the audit stops; it changed nothing."),
            std::string::npos)
      << out_;
  const std::string report = Report();
  size_t notStarted = 0;
  for (size_t at = 0;
       (at = report.find(",not-started,", at)) != std::string::npos; ++at) {
    ++notStarted;
  }
  EXPECT_EQ(notStarted, 3u) << report;
}

}  // namespace
}  // namespace modflash::testing
