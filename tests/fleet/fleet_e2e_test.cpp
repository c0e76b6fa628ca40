// Whole fleet runs: the built modflash-fleet program, running the built
// modflash once per reader, against rehearsal readers on loopback ports.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "fleet/transcript/diagnosis.h"
#include "image/sha256.h"
#include "net/loopback_server.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/run_folder.h"
#include "tests/support/temp_dir.h"
#include "tests/support/transcript.h"
#include "tools/readersim/fleet_sim.h"

namespace modflash::testing {
namespace {

using namespace transcript;
using nlohmann::json;

// A transcript as modflash writes it on this platform: the C runtime of
// Windows ends its lines with "\r\n".
std::string NativeLines(const std::string& text) {
#ifdef _WIN32
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
#else
  return text;
#endif
}

// -1 as the system reports a child's exit status: 255 on POSIX,
// 4294967295 on Windows.
long long RawMinusOne() { return static_cast<uint32_t>(MinusOneStatus()); }

class FleetTest : public ::testing::Test {
 protected:
  FleetTest() : image_(MakeImage(1, 2, 3)), fleet_(&simLog_) {
    imagePath_ = dir_.Write("image.bin", image_);
    runDir_ = dir_.path() / "run";
  }

  std::string WriteInventory(const std::string& text) {
    return dir_.Write("fleet.txt",
                      std::vector<uint8_t>(text.begin(), text.end()));
  }

  ProcessResult RunFleet(const std::string& inventory,
                         std::vector<std::string> options) {
    std::vector<std::string> args = {"--program", imagePath_, inventory,
                                     "--out", runDir_.string()};
    args.insert(args.end(), options.begin(), options.end());
    return RunProcess(MODFLASH_FLEET_BIN, args, 240000);
  }

  std::string Header(uint16_t port) const {
    return transcript::Header("Real programming run", imagePath_,
                              "127.0.0.1:" + std::to_string(port)) +
           "Firmware file successfully read.\nFirmware file is valid\n"
           "File Firmware Version: V1.2.3\nConnected to reader.\n\n";
  }

  std::string UpToTransfer(uint16_t port, const std::string& rate) const {
    std::string text = Header(port) + "AutoBaud: 921600 succeeded\n" +
                       "Current baud rate: " + rate + "\n";
    if (rate != "921600") text += kWarning;
    return text + "Successfully set baud rate to 115200 baud\n" + Wait(8) +
           "Current firmware version: V1.1.0\n" + kUpdateMode;
  }

  std::string Updated(uint16_t port, const std::string& rate,
                      const std::string& progress) const {
    return UpToTransfer(port, rate) + progress + kSent +
           "Module Firmware successfully written.\n" + Wait(8) +
           "Post-update firmware version: V1.2.3\n"
           "Successfully reset baud rate to 921600 baud\n" +
           Success("127.0.0.1");
  }

  TempDir dir_;
  std::vector<uint8_t> image_;
  std::string imagePath_;
  std::filesystem::path runDir_;
  std::ostringstream simLog_;
  sim::SimFleet fleet_;
};

// Six readers: 2 refuses a slice five times, 5 refuses every rate change,
// 3 refuses one slice once (and recovers), 4 starts at 230400.
TEST_F(FleetTest, RehearsedFleetReportsEachReaderFromItsTranscript) {
  sim::SimOptions given;
  given.version = sim::Version{1, 1, 0};
  given.refuseAddress = 0x405000;
  given.refuseTimes = 5;
  sim::FleetSimOptions layout;
  layout.readers = 6;
  layout.faulty = {2};
  std::vector<sim::SimOptions> readers = sim::FleetReaderOptions(given, layout);
  readers[2].refuseAddress = 0x406000;
  readers[2].refuseTimes = 1;
  readers[3].rate = 230400;
  readers[4].failRateChange = true;
  ASSERT_TRUE(fleet_.Start(readers));
  const std::string inventory = WriteInventory(fleet_.Inventory());

  const ProcessResult r =
      RunFleet(inventory, {"-j", "6", "--modflash", MODFLASH_BIN});
  fleet_.Stop();
  fleet_.Wait();
  EXPECT_EQ(r.status, 1) << r.out << r.err;

  std::vector<uint16_t> ports;
  for (size_t i = 0; i < 6; ++i) ports.push_back(fleet_.reader(i).port());
  std::string refusedOnce = Progress();
  refusedOnce.insert(refusedOnce.find("\n0X00406000"),
                     "SendCodePacket 4218880 failed. Error: 03\n#");
  std::string refusedFive =
      UpToTransfer(ports[1], "921600") + Progress().substr(0, 76);
  for (int i = 0; i < 4; ++i) {
    refusedFive += "SendCodePacket 4214784 failed. Error: 03\n#";
  }
  refusedFive +=
      "SendCodePacket 4214784 failed. Error: 03\n"
      "SendCodePacket failed at buffer offset 4096 with 5 retries\n";
  const std::string expectedLogs[6] = {
      Updated(ports[0], "921600", Progress()),
      refusedFive,
      Updated(ports[2], "921600", refusedOnce),
      Updated(ports[3], "230400", Progress()),
      Header(ports[4]) +
          "AutoBaud: 921600 succeeded\nCurrent baud rate: 921600\n"
          "Set baud rate failed.\n"
          "Unable to set module baud rate to 115200 baud\n",
      Updated(ports[5], "921600", Progress())};

  const std::vector<json> records = ReadRecords(runDir_);
  ASSERT_EQ(records.size(), 6u) << r.out;
  for (size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE("reader " + std::to_string(i + 1));
    const json& rec = records[i];
    const bool failed = i == 1 || i == 4;
    const std::string stem =
        "00" + std::to_string(i + 1) + "-reader-" + std::to_string(i + 1);
    EXPECT_EQ(rec["name"], "reader-" + std::to_string(i + 1));
    EXPECT_EQ(rec["address"], "127.0.0.1");
    EXPECT_EQ(rec["port"], ports[i]);
    EXPECT_EQ(rec["outcome"], failed ? "failed" : "updated");
    // Signed on every platform; the system's own value beside it.
    EXPECT_EQ(rec["exit_status"], failed ? -1 : 0);
    EXPECT_EQ(rec["exit_status_raw"], failed ? RawMinusOne() : 0);
    EXPECT_EQ(rec["image_sha256"], Sha256Hex(image_.data(), image_.size()));
    EXPECT_EQ(rec["current"], false);
    EXPECT_EQ(rec["module_state"], failed && i == 1 ? "may-lack-firmware"
                                   : failed         ? "untouched"
                                                    : "updated");
    EXPECT_EQ(rec["file_version"], "V1.2.3");
    EXPECT_EQ(rec["initial_baud"], i == 3 ? 230400 : 921600);
    EXPECT_EQ(rec["log_file"], stem + ".log");
    EXPECT_EQ(ReadText(runDir_ / (stem + ".log")),
              NativeLines(expectedLogs[i]));
    EXPECT_EQ(
        ReadText(runDir_ / (stem + ".exit")),
        NativeLines(std::to_string(failed ? MinusOneStatus() : 0) + "\n"));
    EXPECT_TRUE(rec["start_time"].is_string());
    EXPECT_GE(rec["seconds"].get<double>(), failed ? 0.0 : 8.0);
    if (!failed) {
      EXPECT_EQ(rec["version_before"], "V1.1.0");
      EXPECT_EQ(rec["version_after"], "V1.2.3");
      EXPECT_EQ(rec["refused_tries"], i == 2 ? 1 : 0);
      EXPECT_EQ(rec["answered_after_update"], true);
      EXPECT_TRUE(rec["failure_line"].is_null());
      EXPECT_TRUE(rec["first_error"].is_null());
      EXPECT_TRUE(fleet_.reader(i).Flash() == image_);
    }
  }
  EXPECT_EQ(records[1]["failure_line"],
            "SendCodePacket failed at buffer offset 4096 with 5 retries");
  EXPECT_EQ(records[1]["first_error"],
            "SendCodePacket 4214784 failed. Error: 03");
  EXPECT_EQ(records[1]["refused_tries"], 4);
  EXPECT_EQ(records[1]["failure_phase"], "transfer");
  EXPECT_EQ(records[1]["failure_address"], "0x00405000");
  EXPECT_EQ(records[1]["next_step"], fleet::NextStep("transfer"));
  EXPECT_EQ(records[1]["version_before"], "V1.1.0");
  EXPECT_TRUE(records[1]["version_after"].is_null());
  EXPECT_TRUE(records[1]["answered_after_update"].is_null());
  EXPECT_FALSE(fleet_.reader(1).Flash() == image_);
  EXPECT_EQ(records[4]["failure_line"],
            "Unable to set module baud rate to 115200 baud");
  EXPECT_EQ(records[4]["first_error"], "Set baud rate failed.");
  EXPECT_EQ(records[4]["failure_phase"], "baud-rate");
  EXPECT_TRUE(records[4]["failure_address"].is_null());
  EXPECT_TRUE(records[4]["version_before"].is_null());
  EXPECT_TRUE(records[4]["refused_tries"].is_null());

  // The CSV holds the same records.
  const std::string csv = ReadText(runDir_ / "report.csv");
  EXPECT_EQ(csv.substr(0, csv.find('\n')),
            "name,host,address,port,outcome,exit_status,exit_status_raw,"
            "file_version,image_sha256,version_before,version_after,"
            "initial_baud,refused_tries,failure_line,first_error,"
            "failure_phase,failure_address,module_state,next_step,current,"
            "answered_after_update,start_time,end_time,seconds,log_file,wave,"
            "site,run,note");
  EXPECT_NE(
      csv.find("\nreader-5,127.0.0.1,127.0.0.1," + std::to_string(ports[4]) +
               ",failed,-1," + std::to_string(RawMinusOne()) + ",V1.2.3," +
               Sha256Hex(image_.data(), image_.size()) +
               ",,,921600,,Unable to set module baud rate to "
               "115200 baud,Set baud rate failed.,baud-rate,,untouched,"),
      std::string::npos)
      << csv;
  EXPECT_EQ(csv.find('\r'), std::string::npos);
  // Not a terminal: one plain line per event, then the summary, and no
  // cursor movements.
  EXPECT_NE(r.out.find(" finished reader-2: failed"), std::string::npos);
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
  // The counts of a program run, each even at 0, and no dry run's.
  EXPECT_NE(r.out.find("6 readers: 4 updated, 0 already current, 0 newer "
                       "than the image (not updated), 2 failed, 0 not "
                       "started\nReport: " +
                       runDir_.string() + "/report.csv"),
            std::string::npos)
      << r.out;
}

// The first reader is the canary and cannot be reached: nobody else is
// started. The fleet finds modflash beside itself.
TEST_F(FleetTest, FailedCanaryStartsNothingElse) {
  sim::FleetSimOptions layout;
  layout.readers = 2;
  ASSERT_TRUE(fleet_.Start(sim::FleetReaderOptions(sim::SimOptions{}, layout)));
  const uint16_t closed = FreeLoopbackPorts(1)[0];
  const std::string inventory = WriteInventory(
      "127.0.0.1:" + std::to_string(closed) + " canary\n" + fleet_.Inventory());
  const ProcessResult r = RunFleet(inventory, {"--canary", "1"});
  EXPECT_EQ(r.status, 1) << r.out;
  const std::vector<json> records = ReadRecords(runDir_);
  ASSERT_EQ(records.size(), 3u) << r.out;
  EXPECT_EQ(records[0]["outcome"], "failed");
  for (size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(records[i]["outcome"], "not-started");
    EXPECT_TRUE(records[i]["exit_status"].is_null());
    EXPECT_TRUE(records[i]["start_time"].is_null());
    EXPECT_TRUE(fleet_.reader(i - 1).Connections().empty());
  }
  EXPECT_NE(r.out.find("Canary failed: 1 of the first 1 reader(s) did not "
                       "succeed; no other reader is started."),
            std::string::npos)
      << r.out;
  EXPECT_FALSE(std::filesystem::exists(runDir_ / "002-reader-1.log"));
}

// Unreachable readers one at a time: after two failures nothing new starts.
TEST_F(FleetTest, MaxFailuresStopsStartingUpdates) {
  std::string text;
  for (const uint16_t port : FreeLoopbackPorts(4)) {
    text += "127.0.0.1:" + std::to_string(port) + "\n";
  }
  const ProcessResult r =
      RunFleet(WriteInventory(text),
               {"-j", "1", "--max-failures", "2", "--modflash", MODFLASH_BIN});
  EXPECT_EQ(r.status, 1) << r.out;
  const std::vector<json> records = ReadRecords(runDir_);
  ASSERT_EQ(records.size(), 4u) << r.out;
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(records[i]["outcome"], "failed");
    // What an operator needs first is the connection failure.
    EXPECT_EQ(records[i]["first_error"].get<std::string>().rfind(
                  "Failed to connect to reader. Error (10061) ", 0),
              0u)
        << records[i];
    EXPECT_EQ(records[i]["failure_line"],
              "Unable to determine module's baud rate");
    EXPECT_TRUE(records[i]["initial_baud"].is_null());
  }
  EXPECT_EQ(records[2]["outcome"], "not-started");
  EXPECT_EQ(records[3]["outcome"], "not-started");
  EXPECT_NE(r.out.find("2 update(s) failed: no further update is started."),
            std::string::npos);
}

// Bad inventory lines and a bad image: all reported, nothing started.
TEST_F(FleetTest, InventoryAndImageErrorsStartNothing) {
  const std::string inventory = WriteInventory(
      "# site A\n127.0.0.1:5000 a\n127.0.0.300:5000\n\n127.0.0.1:0\n"
      "127.0.0.1:5000 again\n");
  ProcessResult r = RunFleet(inventory, {});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(
      r.out.find(inventory +
                 ":3: '127.0.0.300' is not an IPv4 address (a.b.c.d, "
                 "without leading zeros)\n" +
                 inventory + ":5: port '0' is not a number from 1 to 16535\n" +
                 inventory +
                 ":6: 127.0.0.1:5000 is listed twice (first on line "
                 "2)\nmodflash-fleet: 3 error(s) in the inventory"),
      std::string::npos)
      << r.out;
  EXPECT_FALSE(std::filesystem::exists(runDir_));

  const std::string shortImage = dir_.Write("short.bin", {1, 2, 3});
  r = RunProcess(MODFLASH_FLEET_BIN,
                 {"--dryrun", shortImage, WriteInventory("127.0.0.1\n"),
                  "--out", runDir_.string()});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("size is incorrect"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("modflash-fleet: the image " + shortImage +
                       " is not usable; nothing was started"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(runDir_));

  r = RunProcess(MODFLASH_FLEET_BIN,
                 {"--dryrun", "--program", imagePath_, inventory});
  EXPECT_EQ(r.status, 2);
  r = RunProcess(MODFLASH_FLEET_BIN,
                 {"--program", imagePath_, inventory, "-j", "4097"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("4097"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace modflash::testing
