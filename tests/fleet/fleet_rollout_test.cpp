// A rollout's controls with the built programs against rehearsal readers:
// modules newer than the image left alone unless a downgrade is allowed,
// waves filled with real updates, the failure rate over finished updates
// only, and readers selected by --only and --skip.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/run_folder.h"
#include "tests/support/sim_trace.h"
#include "tests/support/temp_dir.h"
#include "tools/readersim/fleet_sim.h"

namespace modflash::testing {
namespace {

using nlohmann::json;

sim::SimOptions AtVersion(uint8_t major, uint8_t minor, uint8_t patch) {
  sim::SimOptions o;
  o.port = 0;
  o.version = sim::Version{major, minor, patch};
  return o;
}

class FleetRolloutTest : public ::testing::Test {
 protected:
  FleetRolloutTest() : fleet_(&simLog_) {
    image_ = dir_.Write("image.bin", MakeImage(1, 2, 3));
  }
  ~FleetRolloutTest() override {
    fleet_.Stop();
    fleet_.Wait();
  }

  std::string Start(const std::vector<sim::SimOptions>& readers) {
    EXPECT_TRUE(fleet_.Start(readers));
    const std::string text = fleet_.Inventory();
    return dir_.Write("fleet.txt",
                      std::vector<uint8_t>(text.begin(), text.end()));
  }

  ProcessResult Fleet(std::vector<std::string> args) {
    return RunProcess(MODFLASH_FLEET_BIN, args, 240000);
  }

  std::string Out(const char* name) const {
    return (dir_.path() / name).string();
  }

  TempDir dir_;
  std::string image_;
  std::ostringstream simLog_;
  sim::SimFleet fleet_;
};

// 20 readers, 3 of them newer than the image: the update leaves those
// alone (their readers get the version read and nothing else), --force
// does not change that, --allow-older updates them; --only and --skip
// pick exactly their readers, for an audit too.
TEST_F(FleetRolloutTest, NewerModulesAreLeftAloneUnlessOlderIsAllowed) {
  std::vector<sim::SimOptions> readers(20, AtVersion(1, 1, 0));
  const size_t newer[] = {4, 10, 16};  // reader-5, reader-11, reader-17
  for (const size_t i : newer) {
    readers[i] = AtVersion(2, 0, 0);
    readers[i].trace = true;
  }
  const std::string inventory = Start(readers);
  ProcessResult r = Fleet({"--program", image_, inventory, "-j", "20",
                           "--plain", "--out", Out("first")});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::vector<json> records = ReadRecords(Out("first"));
  ASSERT_EQ(records.size(), 20u) << r.out;
  for (size_t i = 0; i < 20; ++i) {
    SCOPED_TRACE(i + 1);
    const bool isNewer = i == 4 || i == 10 || i == 16;
    EXPECT_EQ(records[i]["outcome"], isNewer ? "newer-than-image" : "updated");
    EXPECT_EQ(records[i]["module_state"], isNewer ? "untouched" : "updated");
  }
  EXPECT_EQ(records[4]["version_before"], "V2.0.0");
  EXPECT_EQ(records[4]["file_version"], "V1.2.3");
  EXPECT_EQ(records[4]["current"], false);
  EXPECT_NE(records[4]["next_step"].get<std::string>().find("--allow-older"),
            std::string::npos);
  for (const size_t i : newer) {
    EXPECT_EQ(
        ReceivedMessages(simLog_.str(),
                         "reader " + std::to_string(i + 1) + ": "),
        (std::vector<std::string>{"38 GetBaudRate",
                                  "FA module data: command 60 (get version)"}))
        << i + 1;
  }
  const json run = json::parse(ReadText(Out("first") + "/run.json"));
  EXPECT_EQ(run["counts"]["newer-than-image"], 3);
  EXPECT_EQ(run["counts"]["updated"], 17);
  EXPECT_NE(r.out.find("17 updated, 0 already current, 3 newer than the "
                       "image (not updated)"),
            std::string::npos)
      << r.out;

  // --force updates current modules, not newer ones.
  const std::vector<std::string> pick = {"--only",    "reader-5", "--only",
                                         "reader-1?", "--skip",   "reader-10",
                                         "--skip",    "reader-12"};
  std::vector<std::string> args = {"--program", image_,  inventory,
                                   "--force",   "--out", Out("forced")};
  args.insert(args.end(), pick.begin(), pick.end());
  r = Fleet(args);
  EXPECT_EQ(r.status, 0) << r.out;
  records = ReadRecords(Out("forced"));
  EXPECT_EQ(Field(records, "name"),
            (std::vector<std::string>{"reader-5", "reader-11", "reader-13",
                                      "reader-14", "reader-15", "reader-16",
                                      "reader-17", "reader-18", "reader-19"}));
  EXPECT_EQ(Field(records, "outcome")[0], "newer-than-image");
  EXPECT_EQ(Field(records, "outcome")[2], "updated");
  const json forcedPlan =
      json::parse(ReadText(Out("forced") + "/run.json"))["plan"];
  EXPECT_EQ(forcedPlan["only"], json({"reader-5", "reader-1?"}));
  EXPECT_EQ(forcedPlan["skip"], json({"reader-10", "reader-12"}));

  // The newer ones, selected by host:port, downgraded on purpose.
  args = {"--program",     image_,  inventory,
          "--allow-older", "--out", Out("older")};
  for (const size_t i : newer) {
    args.push_back("--only");
    args.push_back("127.0.0.1:" + std::to_string(fleet_.reader(i).port()));
  }
  r = Fleet(args);
  EXPECT_EQ(r.status, 0) << r.out;
  records = ReadRecords(Out("older"));
  EXPECT_EQ(Field(records, "name"),
            (std::vector<std::string>{"reader-5", "reader-11", "reader-17"}));
  EXPECT_EQ(Field(records, "outcome"),
            (std::vector<std::string>(3, "updated")));
  EXPECT_EQ(Field(records, "version_after"),
            (std::vector<std::string>(3, "V1.2.3")));

  // An audit of a selection; --check lists it; a selection of none is
  // refused.
  r = Fleet({"--audit", inventory, "--image", image_, "--skip", "reader-?",
             "--skip", "reader-1*", "--out", Out("audit")});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(Field(ReadRecords(Out("audit")), "name"),
            (std::vector<std::string>{"reader-20"}));
  r = Fleet({"--program", image_, inventory, "--only", "*-2?", "--only",
             "reader-5", "--check"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("  1  reader-5  "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  2  reader-20  "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("  3  "), std::string::npos) << r.out;
  r = Fleet(
      {"--audit", inventory, "--only", "nothing-*", "--out", Out("none")});
  EXPECT_EQ(r.status, 2) << r.out;
}

// --canary 3 over 20 readers whose first 3 are current: the canary is of
// the 3 readers after them, really updated. Readers 7 and 8 fail; the
// rate of 20% applies from the 5th finished update on, and counts no
// skipped reader as one.
TEST_F(FleetRolloutTest, CanaryAndRateCountRealUpdatesOnly) {
  std::vector<sim::SimOptions> readers(20, AtVersion(1, 1, 0));
  for (size_t i = 0; i < 3; ++i) readers[i] = AtVersion(1, 2, 3);
  readers[6].failRateChange = true;
  readers[7].failRateChange = true;
  const std::string inventory = Start(readers);
  ProcessResult r = Fleet({"--program", image_, inventory, "--canary", "3",
                           "--max-failure-rate", "20%", "-j", "2", "--plain",
                           "--out", Out("canary")});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  const std::vector<json> records = ReadRecords(Out("canary"));
  ASSERT_EQ(records.size(), 20u);
  const std::vector<std::string> outcomes = Field(records, "outcome");
  for (size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(i + 1);
    EXPECT_EQ(outcomes[i], i < 3 ? "already-current" : "updated");
    EXPECT_EQ(records[i]["wave"], 1);
  }
  EXPECT_EQ(outcomes[6], "failed");
  EXPECT_EQ(outcomes[7], "failed");
  EXPECT_EQ(outcomes[19], "not-started");
  const json run = json::parse(ReadText(Out("canary") + "/run.json"));
  EXPECT_EQ(run["waves"][0], 3);
  EXPECT_EQ(run["stopped"],
            "2 of 5 finished update(s) failed, more than 20% "
            "(--max-failure-rate)")
      << r.out;

  r = Fleet({"--program", image_, inventory, "--canary", "0", "--check"});
  EXPECT_EQ(r.status, 2) << r.out;
  r = Fleet({"--audit", inventory, "--min-finished", "3"});
  EXPECT_EQ(r.status, 2) << r.out;
}

}  // namespace
}  // namespace modflash::testing
