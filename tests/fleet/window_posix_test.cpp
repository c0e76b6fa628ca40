// Maintenance windows with the built fleet against rehearsal readers, the
// window clock shifted (MODFLASH_FLEET_CLOCK_SHIFT) so that a window opens
// or closes seconds into the run: no start outside it, running updates
// finish, the run stops or waits as asked, and --resume goes on later.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <ctime>
#include <future>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "tests/support/process.h"
#include "tests/support/run_folder.h"
#include "tests/support/temp_dir.h"
#include "tools/readersim/fleet_sim.h"

namespace modflash::testing {
namespace {

using nlohmann::json;

// "HH:MM" of `t`, local time; "24:00" for a midnight that ends a window.
std::string Clock(std::time_t t, bool end) {
  std::tm local{};
  localtime_r(&t, &local);
  if (end && local.tm_hour == 0 && local.tm_min == 0) return "24:00";
  char text[8];
  std::snprintf(text, sizeof text, "%02d:%02d", local.tm_hour, local.tm_min);
  return text;
}

class FleetWindowTest : public ::testing::Test {
 protected:
  FleetWindowTest() : fleet_(&simLog_) {
    image_ = dir_.Write("image.bin", MakeImage(1, 2, 3));
    // A minute a few minutes ahead of the real clock: the window.
    const std::time_t ahead = std::time(nullptr) + 180;
    minute_ = ahead - ahead % 60;
    window_ = Clock(minute_, false) + "-" + Clock(minute_ + 60, true);
  }
  ~FleetWindowTest() override {
    unsetenv("MODFLASH_FLEET_CLOCK_SHIFT");
    fleet_.Stop();
    fleet_.Wait();
  }

  // The fleet's window clock reads `at` now.
  static void ClockAt(std::time_t at) {
    setenv("MODFLASH_FLEET_CLOCK_SHIFT",
           std::to_string(at - std::time(nullptr)).c_str(), 1);
  }

  std::string Start(size_t readers) {
    sim::SimOptions o;
    o.port = 0;
    o.version = sim::Version{1, 1, 0};
    o.trace = true;
    EXPECT_TRUE(fleet_.Start(std::vector<sim::SimOptions>(readers, o)));
    const std::string text = fleet_.Inventory();
    return dir_.Write("fleet.txt",
                      std::vector<uint8_t>(text.begin(), text.end()));
  }

  std::string Out(const char* name) const {
    return (dir_.path() / name).string();
  }

  TempDir dir_;
  std::string image_;
  std::time_t minute_ = 0;
  std::string window_;
  std::ostringstream simLog_;
  sim::SimFleet fleet_;
};

// The window closes 10 s in, while the first two updates run (each waits
// more than 16 s for the module's restarts): they finish, the other two
// never connect, and a --resume inside the window updates them.
TEST_F(FleetWindowTest, AClosingWindowStopsNewStartsAndResumeGoesOn) {
  const std::string inventory = Start(4);
  ClockAt(minute_ + 50);
  ProcessResult r = RunProcess(
      MODFLASH_FLEET_BIN,
      {"--program", image_, inventory, "-j", "2", "--window", window_,
       "--window-end", "stop", "--plain", "--out", Out("run")},
      240000);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("Maintenance windows: " + window_ +
                       " (local time; open until "),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("The maintenance window closed"), std::string::npos)
      << r.out;
  std::vector<json> records = ReadRecords(Out("run"));
  ASSERT_EQ(records.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i + 1);
    EXPECT_EQ(records[i]["outcome"], i < 2 ? "updated" : "not-started");
    if (i >= 2) {
      EXPECT_EQ(fleet_.reader(i).Connections().size(), 0u);
    }
  }
  EXPECT_EQ(json::parse(ReadText(Out("run") + "/run.json"))["stopped"],
            "maintenance window closed");

  ClockAt(minute_ + 5);
  r = RunProcess(MODFLASH_FLEET_BIN, {"--resume", Out("run"), "--plain"},
                 240000);
  EXPECT_EQ(r.status, 0) << r.out;
  records = ReadRecords(Out("run"));
  ASSERT_EQ(records.size(), 4u);
  for (const json& record : records) EXPECT_EQ(record["outcome"], "updated");
  EXPECT_EQ(fleet_.reader(0).Connections().size(),
            fleet_.reader(2).Connections().size());
}

// Started 12 s before the window opens, the run waits and says until when
// (on the console and to --status from another process), then starts.
TEST_F(FleetWindowTest, ARunOutsideItsWindowWaitsForItToOpen) {
  const std::string inventory = Start(2);
  for (const std::vector<std::string>& refused :
       {std::vector<std::string>{"--window", "25:00-01:00"},
        {"--window", "Sat,Sun"},
        {"--window-end", "stop"},
        {"--window", window_, "--window-end", "later"}}) {
    std::vector<std::string> args = {"--dryrun", image_, inventory, "--check"};
    args.insert(args.end(), refused.begin(), refused.end());
    EXPECT_EQ(RunProcess(MODFLASH_FLEET_BIN, args).status, 2) << refused[1];
  }
  EXPECT_EQ(RunProcess(MODFLASH_FLEET_BIN,
                       {"--audit", inventory, "--window", window_})
                .status,
            2);
  ClockAt(minute_ - 12);
  const ProcessResult check = RunProcess(
      MODFLASH_FLEET_BIN,
      {"--dryrun", image_, inventory, "--check", "--window", window_});
  EXPECT_NE(
      check.out.find("closed, the next opens at " + Clock(minute_, false)),
      std::string::npos)
      << check.out;
  const std::string out = Out("wait");
  auto run = std::async(std::launch::async, [&] {
    return RunProcess(MODFLASH_FLEET_BIN,
                      {"--dryrun", image_, inventory, "--window", window_,
                       "--plain", "--out", out},
                      240000);
  });
  std::string status;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (status.find("Waiting for a maintenance window") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline &&
         run.wait_for(std::chrono::milliseconds(300)) !=
             std::future_status::ready) {
    status = RunProcess(MODFLASH_FLEET_BIN, {"--status", out}, 30000).out;
  }
  EXPECT_NE(status.find("Waiting for a maintenance window: the next opens at "),
            std::string::npos)
      << status;
  EXPECT_EQ(fleet_.reader(0).Connections().size(), 0u);
  const ProcessResult r = run.get();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("No maintenance window is open: no update starts until "
                       "the next one opens at " +
                       Clock(minute_, false)),
            std::string::npos)
      << r.out;
  EXPECT_LT(r.out.find("A maintenance window is open"),
            r.out.find("started  reader-1"))
      << r.out;
  for (const json& record : ReadRecords(out)) {
    EXPECT_EQ(record["outcome"], "dry-run-ok");
  }
}

}  // namespace
}  // namespace modflash::testing
