// Maintenance windows with the built fleet against rehearsal readers, the
// window clock shifted (MODFLASH_FLEET_CLOCK_SHIFT) so that a window opens
// or closes seconds into the run: no start outside it, running updates
// finish, the run stops or waits as asked, and --resume goes on later.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
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

  // `readers` readers at V1.1.0; from reader `failFrom` on (counted from
  // 0), readers that refuse every rate change, whose update fails at once.
  std::string Start(size_t readers, size_t failFrom = SIZE_MAX) {
    sim::SimOptions o;
    o.port = 0;
    o.version = sim::Version{1, 1, 0};
    o.trace = true;
    std::vector<sim::SimOptions> all(readers, o);
    for (size_t i = failFrom; i < readers; ++i) all[i].failRateChange = true;
    EXPECT_TRUE(fleet_.Start(all));
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

// Waits up to a minute for `done`; false on the time-out.
template <typename Done>
bool Within(Done done) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

// run.json's pauses and continues as "EVENT by BY", each with its time.
std::vector<std::string> Holds(const std::string& folder) {
  const json run = json::parse(ReadText(folder + "/run.json"));
  std::vector<std::string> holds;
  for (const json& h : run["holds"]) {
    EXPECT_EQ(h["time"].get<std::string>().size(), 19u) << h;
    holds.push_back(h["event"].get<std::string>() + " by " +
                    h["by"].get<std::string>());
  }
  return holds;
}

// Wave 1 fails at once; the run waits for an approval, which --status
// tells, and the second wave starts only after --continue. Without an
// approval within its time-out, the run stops.
TEST_F(FleetWindowTest, AnApprovalHoldsTheNextWaveUntilContinue) {
  const std::string inventory = Start(3, 0);
  const std::string out = Out("approve");
  auto run = std::async(std::launch::async, [&] {
    return RunProcess(MODFLASH_FLEET_BIN,
                      {"--program", image_, inventory, "--waves", "1,2",
                       "--approve-after", "1", "--plain", "--out", out},
                      240000);
  });
  ASSERT_TRUE(Within([&] { return std::filesystem::exists(out + "/pause"); }));
  EXPECT_NE(RunProcess(MODFLASH_FLEET_BIN, {"--status", out})
                .out.find("Paused (approval after wave 1): modflash-fleet "
                          "--continue"),
            std::string::npos);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(fleet_.reader(1).Connections().size(), 0u);
  EXPECT_EQ(RunProcess(MODFLASH_FLEET_BIN, {"--continue", out}).status, 0);
  const ProcessResult r = run.get();
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("Wave 1 ended: 0 succeeded, 1 failed. Waiting for "
                       "approval: modflash-fleet --continue " +
                       out + " starts the next wave."),
            std::string::npos)
      << r.out;
  EXPECT_LT(r.out.find("Continued: updates start again."),
            r.out.find("started  reader-2"));
  for (const json& record : ReadRecords(out)) {
    EXPECT_EQ(record["outcome"], "failed");
  }
  const std::string journal = ReadText(out + "/journal.jsonl");
  EXPECT_NE(journal.find("\"entry\":\"pause\""), std::string::npos);
  EXPECT_NE(journal.find("\"by\":\"--continue\""), std::string::npos);
  EXPECT_EQ(Holds(out),
            (std::vector<std::string>{"pause by approval after wave 1",
                                      "continue by --continue"}));

  const ProcessResult lapsed = RunProcess(
      MODFLASH_FLEET_BIN,
      {"--program", image_, inventory, "--waves", "1,2", "--approve-after", "1",
       "--approve-timeout", "2s", "--plain", "--out", Out("lapsed")},
      240000);
  EXPECT_EQ(lapsed.status, 1);
  const std::vector<json> records = ReadRecords(Out("lapsed"));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[2]["outcome"], "not-started");
  EXPECT_EQ(json::parse(ReadText(Out("lapsed") + "/run.json"))["stopped"],
            "no approval within 2s");
  EXPECT_EQ(Holds(Out("lapsed")),
            (std::vector<std::string>{"pause by approval after wave 1",
                                      "continue by no approval within 2s"}));
}

// --pause from another process while the first update runs: it finishes,
// nothing else starts until --continue.
TEST_F(FleetWindowTest, PauseFromAnotherProcessHoldsNewStarts) {
  const std::string inventory = Start(3, 1);
  const std::string out = Out("pause");
  auto run = std::async(std::launch::async, [&] {
    return RunProcess(
        MODFLASH_FLEET_BIN,
        {"--program", image_, inventory, "-j", "1", "--plain", "--out", out},
        240000);
  });
  const auto journalHas = [&](const char* text) {
    std::error_code ec;
    return std::filesystem::exists(out + "/journal.jsonl", ec) &&
           ReadText(out + "/journal.jsonl").find(text) != std::string::npos;
  };
  ASSERT_TRUE(Within([&] { return journalHas("\"step\":\"update\""); }));
  const ProcessResult paused = RunProcess(MODFLASH_FLEET_BIN, {"--pause", out});
  EXPECT_EQ(paused.status, 0) << paused.out;
  ASSERT_TRUE(Within([&] { return journalHas("\"entry\":\"end\""); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(fleet_.reader(1).Connections().size(), 0u);
  EXPECT_EQ(RunProcess(MODFLASH_FLEET_BIN, {"--continue", out}).status, 0);
  const ProcessResult r = run.get();
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("Paused (--pause): no new update starts"),
            std::string::npos)
      << r.out;
  const std::vector<json> records = ReadRecords(out);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0]["outcome"], "updated");
  EXPECT_EQ(records[1]["outcome"], "failed");
  EXPECT_EQ(Holds(out), (std::vector<std::string>{"pause by --pause",
                                                  "continue by --continue"}));
  // Once the run has ended there is nothing to pause.
  EXPECT_EQ(RunProcess(MODFLASH_FLEET_BIN, {"--pause", out}).status, 2);
}

}  // namespace
}  // namespace modflash::testing
