// One reader, one update at a time, and a retry that keeps the run's
// identity: the scheduler never runs two updates against one address and
// port, a retry takes each reader once and keeps the run's --site, a report
// that is missing, empty or torn is refused, and an exit file that cannot
// be written stops further starts.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "fleet/console/display.h"
#include "fleet/run/fleet_run.h"
#include "tests/support/process.h"
#include "tests/support/run_folder.h"
#include "tests/support/temp_dir.h"
#include "tools/readersim/fleet_sim.h"

namespace modflash::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class FleetOneAtATimeTest : public ::testing::Test {
 protected:
  FleetOneAtATimeTest() : fleet_(&simLog_) {
    image_ = dir_.Write("image.bin", MakeImage(1, 2, 3));
    sim::SimOptions reader;
    reader.port = 0;
    EXPECT_TRUE(fleet_.Start({reader}));
    port_ = fleet_.reader(0).port();
  }
  ~FleetOneAtATimeTest() override {
    fleet_.Stop();
    fleet_.Wait();
  }

  std::string Out(const std::string& name) const {
    return (dir_.path() / name).string();
  }

  // A record of the one reader as a report holds it.
  std::string Record(const std::string& outcome) const {
    return json({{"name", "reader-1"},
                 {"host", "127.0.0.1"},
                 {"address", "127.0.0.1"},
                 {"port", port_},
                 {"outcome", outcome}})
        .dump();
  }

  // A run folder `name` with `report` as its report.jsonl and, unless
  // empty, `run` as its run.json.
  std::string Folder(const std::string& name, const std::string& report,
                     const json& run = json()) {
    fs::create_directories(Out(name));
    std::ofstream(Out(name) + "/report.jsonl", std::ios::binary) << report;
    if (!run.is_null()) std::ofstream(Out(name) + "/run.json") << run.dump();
    return Out(name);
  }

  ProcessResult Retry(const std::string& folder,
                      std::vector<std::string> more = {}) {
    std::vector<std::string> args = {
        "--program",  image_,       "--retry", folder,
        "--modflash", MODFLASH_BIN, "--force", "--allow-older",
        "-j",         "3",          "--out",   Out("again")};
    args.insert(args.end(), more.begin(), more.end());
    return RunProcess(MODFLASH_FLEET_BIN, args, 240000);
  }

  fleet::FleetSettings Settings(const std::string& folder) const {
    fleet::FleetSettings settings;
    settings.image = image_;
    settings.imageVersion = "V1.2.3";
    settings.modflash = MODFLASH_BIN;
    settings.force = true;
    settings.allowOlder = true;  // no version read first
    settings.jobs = 2;
    settings.folder = folder;
    fs::create_directories(folder);
    return settings;
  }

  fleet::Reader TheReader() const {
    fleet::Reader reader;
    reader.name = "reader-1";
    reader.host = reader.address = "127.0.0.1";
    reader.port = port_;
    return reader;
  }

  TempDir dir_;
  std::string image_;
  std::ostringstream simLog_;
  sim::SimFleet fleet_;
  int port_ = 0;
};

// A merged report that lists the reader three times, failed each time: one
// update, under the run's site.
TEST_F(FleetOneAtATimeTest, RetryTakesEachReaderOnceUnderTheRunsSite) {
  const std::string folder = Folder(
      "merged",
      Record("failed") + "\n" + Record("failed") + "\n" + Record("failed") +
          "\n",
      {{"kind", "program"}, {"site", "north"}, {"counts", {{"failed", 3}}}});
  const ProcessResult r = Retry(folder);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("programming of 1 reader(s)"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("report.jsonl: record 1: note: listed again as "
                       "record 3; retried once"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(fleet_.reader(0).Connections().size(), 1u);
  const std::vector<json> records = ReadRecords(Out("again"));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["outcome"], "updated");
  EXPECT_EQ(records[0]["site"], "north");
  const json run = json::parse(ReadText(Out("again") + "/run.json"));
  EXPECT_EQ(run["site"], "north");

  // Another --site, given, stands.
  fs::remove_all(Out("again"));
  const ProcessResult other = Retry(folder, {"--site", "south"});
  EXPECT_EQ(other.status, 0) << other.out;
  EXPECT_EQ(ReadRecords(Out("again"))[0]["site"], "south");
}

// The readers of a list that names one reader twice run one after the
// other: both updates succeed, where two at once would break each other.
TEST_F(FleetOneAtATimeTest, SchedulerNeverRunsOneReaderTwiceAtOnce) {
  std::ostringstream console;
  fleet::Display display(console, false, 2);
  const fleet::FleetResult result = fleet::RunFleet(
      Settings(Out("twice")), {TheReader(), TheReader()}, display);
  ASSERT_EQ(result.records.size(), 2u);
  for (const fleet::ReaderRecord& r : result.records) {
    EXPECT_EQ(r.outcome, fleet::Outcome::kUpdated) << console.str();
  }
  EXPECT_EQ(fleet_.reader(0).Connections().size(), 2u);
  // The second started once the first had finished.
  const std::string text = console.str();
  ASSERT_NE(text.find("finished"), std::string::npos) << text;
  EXPECT_LT(text.find("finished"), text.rfind("started")) << text;
}

// Missing, empty or torn: refused with status 2, nothing started, never
// "nothing to retry".
TEST_F(FleetOneAtATimeTest, RetryRefusesAMissingEmptyOrTornReport) {
  const std::string whole = Record("failed") + "\n";
  const std::string torn = whole + Record("failed");
  const struct {
    std::string folder;
    std::string line;
  } cases[] = {
      {Out("none"), "modflash-fleet: cannot retry: " + Out("none") +
                        " holds no report (report.jsonl); nothing was started"},
      {Folder("empty", ""),
       "cannot retry: " + Out("empty") + "/report.jsonl holds no record"},
      {Folder("cut", torn.substr(0, torn.size() - 9)),
       "cannot retry: " + Out("cut") +
           "/report.jsonl is torn: its last line is cut off"},
      {Folder("torn", torn), "cannot retry: " + Out("torn") +
                                 "/report.jsonl is torn: its last line is cut "
                                 "off"},
      {Folder("short", whole + whole,
              {{"kind", "program"}, {"counts", {{"failed", 3}}}}),
       "cannot retry: " + Out("short") +
           "/report.jsonl is torn: it holds 2 record(s), run.json counts 3"},
  };
  for (const auto& c : cases) {
    const ProcessResult r = Retry(c.folder);
    EXPECT_EQ(r.status, 2) << c.folder << "\n" << r.out;
    EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("no reader to retry"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(Out("again")));
  }
  EXPECT_TRUE(fleet_.reader(0).Connections().empty());
}

// The first reader's exit file cannot be written (its place is taken): the
// run says so and starts nothing more.
TEST_F(FleetOneAtATimeTest, UnwritableExitFileStopsFurtherStarts) {
  fleet::FleetSettings settings = Settings(Out("full"));
  settings.jobs = 1;
  fs::create_directories(Out("full") + "/001-reader-1.exit");
  fleet::Reader second = TheReader();
  second.name = "reader-2";
  std::ostringstream console;
  fleet::Display display(console, false, 1);
  const fleet::FleetResult result =
      fleet::RunFleet(settings, {TheReader(), second}, display);
  EXPECT_EQ(result.unwritten, Out("full") + "/001-reader-1.exit");
  EXPECT_EQ(result.stopped, "cannot write " + result.unwritten);
  ASSERT_EQ(result.records.size(), 2u);
  EXPECT_EQ(result.records[0].outcome, fleet::Outcome::kUpdated);
  EXPECT_EQ(result.records[1].outcome, fleet::Outcome::kNotStarted);
  EXPECT_NE(
      console.str().find("modflash-fleet: cannot write " + result.unwritten +
                         " (is the disk full?): no further update "
                         "starts."),
      std::string::npos)
      << console.str();
  EXPECT_EQ(fleet_.reader(0).Connections().size(), 1u);
}

}  // namespace
}  // namespace modflash::testing
