// The files a fleet run leaves besides its report (run.json, the phases in
// report.jsonl, report.html), and the merge of two sites' runs and a retry:
// the built programs against rehearsal readers on loopback ports. On
// Windows too, where no browser looks at the page: there its existence and
// size are what is checked.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "fleet/transcript/phase_log.h"
#include "link/socket_layer.h"
#include "process/child_process.h"
#include "tests/support/process.h"
#include "tests/support/run_folder.h"
#include "tests/support/temp_dir.h"
#include "tools/readersim/fleet_sim.h"

namespace modflash::testing {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

uint16_t ClosedPort() {
  net::SocketLayerSession session;
  uint16_t port = 0;
  const net::SocketHandle s = net::ListenLoopback(0, &port);
  net::Close(s);
  return port;
}

// Phases in their order, one after the other from 0 to the record's end.
void ExpectContiguousPhases(const json& record, size_t count) {
  SCOPED_TRACE(record["name"].get<std::string>());
  const json& phases = record["phases"];
  ASSERT_EQ(phases.size(), count) << record;
  double at = 0;
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(phases[i]["phase"], output::kTimeline[i].name);
    EXPECT_DOUBLE_EQ(phases[i]["start"].get<double>(), at);
    at = phases[i]["end"].get<double>();
    EXPECT_GE(at, phases[i]["start"].get<double>());
  }
  EXPECT_NEAR(at, record["seconds"].get<double>(), 0.11);
}

void ExpectPage(const fs::path& folder) {
  const auto size = fs::file_size(folder / "report.html");
  EXPECT_GT(size, 4000u);
  EXPECT_LT(size, 2000000u);
}

class FleetReportFilesTest : public ::testing::Test {
 protected:
  FleetReportFilesTest() : fleet_(&simLog_), retrySim_(&simLog_) {
    image_ = dir_.Write("image.bin", MakeImage(1, 2, 3));
  }

  std::vector<std::string> Args(const std::string& inventory,
                                const std::string& text, const std::string& out,
                                const std::string& site) {
    const std::string path =
        dir_.Write(inventory, std::vector<uint8_t>(text.begin(), text.end()));
    return {"--program", image_, path, "--out", (dir_.path() / out).string(),
            "--site",    site,   "-j", "4",     "--modflash",
            MODFLASH_BIN};
  }

  TempDir dir_;
  std::string image_;
  std::ostringstream simLog_;
  sim::SimFleet fleet_;
  sim::SimFleet retrySim_;
};

TEST_F(FleetReportFilesTest, SiteRunsAndARetryMergeIntoOneReport) {
  sim::FleetSimOptions layout;
  layout.readers = 2;
  ASSERT_TRUE(fleet_.Start(sim::FleetReaderOptions(sim::SimOptions{}, layout)));
  const uint16_t closed = ClosedPort();
  const std::string dock2 = "127.0.0.1:" + std::to_string(closed) + " dock-2\n";
  const std::string north =
      "127.0.0.1:" + std::to_string(fleet_.reader(0).port()) +
      " <script>alert(1)</script>\n" + dock2;
  const std::string south =
      "127.0.0.1:" + std::to_string(fleet_.reader(1).port()) + " dock-3\n";

  // The two sites at once; dock-2 cannot be reached.
  process::ChildProcess southRun;
  std::string error;
  process::StartOptions options;
  options.errorFile = (dir_.path() / "south.err").string();
  ASSERT_TRUE(southRun.Start(MODFLASH_FLEET_BIN,
                             Args("south.txt", south, "south", "south"),
                             options, error))
      << error;
  ProcessResult r = RunProcess(MODFLASH_FLEET_BIN,
                               Args("north.txt", north, "north", "north"));
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  std::string southOut;
  while (southRun.ReadOutput(southOut)) {
    process::ChildProcess::WaitForAny({&southRun}, 250);
  }
  EXPECT_EQ(southRun.Wait().status, 0) << southOut;

  const fs::path northDir = dir_.path() / "north";
  const json run = json::parse(ReadText(northDir / "run.json"));
  EXPECT_EQ(run["kind"], "program");
  EXPECT_EQ(run["site"], "north");
  EXPECT_EQ(run["image"]["file"], image_);
  EXPECT_EQ(run["image"]["version"], "V1.2.3");
  EXPECT_EQ(run["counts"],
            json({{"updated", 1}, {"failed", 1}, {"not-started", 0}}));
  EXPECT_EQ(run["command_line"][1], "--program");
  EXPECT_LE(run["start_time"].get<std::string>(),
            run["end_time"].get<std::string>());
  const std::vector<json> records = ReadRecords(northDir);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["site"], "north");
  ExpectContiguousPhases(records[0], 6);
  ExpectContiguousPhases(records[1], 1);  // refused at once: connect-probe
  ExpectPage(northDir);
  ExpectPage(dir_.path() / "south");
  const std::string page = ReadText(northDir / "report.html");
  EXPECT_EQ(page.find("<script>alert"), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"),
            std::string::npos);

  // dock-2 is back: the retry updates it.
  sim::SimOptions back;
  back.port = closed;
  ASSERT_TRUE(retrySim_.Start({back}));
  r = RunProcess(MODFLASH_FLEET_BIN,
                 Args("retry.txt", dock2, "retry", "north"));
  EXPECT_EQ(r.status, 0) << r.out << r.err;

  const fs::path merged = dir_.path() / "all";
  r = RunProcess(
      MODFLASH_FLEET_BIN,
      {"--merge", merged.string(), northDir.string(),
       (dir_.path() / "south").string(), (dir_.path() / "retry").string()});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const json info = json::parse(ReadText(merged / "run.json"));
  EXPECT_EQ(info["counts"], json({{"updated", 3}}));
  EXPECT_EQ(info["sites"]["north"]["counts"], json({{"updated", 2}}));
  EXPECT_EQ(info["sites"]["south"]["counts"], json({{"updated", 1}}));
  EXPECT_EQ(info["runs"], json({"north", "south", "retry"}));
  const std::vector<json> all = ReadRecords(merged);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1]["name"], "dock-2");
  EXPECT_EQ(all[1]["run"], "retry");
  ASSERT_EQ(all[1]["attempts"].size(), 1u);
  EXPECT_EQ(all[1]["attempts"][0]["outcome"], "failed");
  for (const json& rec : all) {
    EXPECT_TRUE(
        fs::is_regular_file(merged / rec["log_file"].get<std::string>()))
        << rec;
  }
  ExpectPage(merged);
  retrySim_.Stop();
  retrySim_.Wait();
  fleet_.Stop();
  fleet_.Wait();
}

}  // namespace
}  // namespace modflash::testing
