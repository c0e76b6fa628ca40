// The operator's loop around the updates, with the built programs against
// rehearsal readers of mixed versions: the audit and what it sends, the
// update that leaves current modules alone, the retry of a run, waves and
// their failure limit, --check, --version and the inputs refused before
// anything starts.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "fleet/text/text.h"
#include "image/sha256.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/run_folder.h"
#include "tests/support/sim_trace.h"
#include "tests/support/temp_dir.h"
#include "tools/readersim/fleet_sim.h"

namespace modflash::testing {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

// A reader whose module runs `version`, and one that fails fast: its
// reader refuses every rate change.
sim::SimOptions AtVersion(uint8_t major, uint8_t minor, uint8_t patch) {
  sim::SimOptions o;
  o.port = 0;
  o.version = sim::Version{major, minor, patch};
  o.trace = true;
  return o;
}

sim::SimOptions RefusesRateChange() {
  sim::SimOptions o = AtVersion(1, 1, 0);
  o.failRateChange = true;
  return o;
}

class FleetLoopTest : public ::testing::Test {
 protected:
  FleetLoopTest() : fleet_(&simLog_) {
    image_ = dir_.Write("image.bin", MakeImage(1, 2, 3));
  }
  ~FleetLoopTest() override {
    fleet_.Stop();
    fleet_.Wait();
  }

  // Starts the readers and writes their inventory, with an unreachable
  // reader (a closed port) at each position of `closedAt`.
  std::string Start(const std::vector<sim::SimOptions>& readers,
                    const std::vector<size_t>& closedAt = {}) {
    EXPECT_TRUE(fleet_.Start(readers));
    std::istringstream lines(fleet_.Inventory());
    std::vector<std::string> entries;
    for (std::string line; std::getline(lines, line);) entries.push_back(line);
    const std::vector<uint16_t> closed = FreeLoopbackPorts(closedAt.size());
    for (size_t i = 0; i < closedAt.size(); ++i) {
      entries.insert(entries.begin() + static_cast<long>(closedAt[i]),
                     "127.0.0.1:" + std::to_string(closed[i]) + " closed-" +
                         std::to_string(closedAt[i] + 1));
    }
    std::string text;
    for (const std::string& e : entries) text += e + "\n";
    return dir_.Write("fleet.txt",
                      std::vector<uint8_t>(text.begin(), text.end()));
  }

  ProcessResult Fleet(std::vector<std::string> args) {
    return RunProcess(MODFLASH_FLEET_BIN, args, 240000);
  }

  std::string Out(const char* name) const {
    return (dir_.path() / name).string();
  }

  size_t ConnectionsTo(size_t reader) {
    return fleet_.reader(reader).Connections().size();
  }

  TempDir dir_;
  std::string image_;
  std::ostringstream simLog_;
  sim::SimFleet fleet_;
};

// Five readers: two versions, one silent module, one unreachable; then a
// retry of those that did not answer.
TEST_F(FleetLoopTest, AuditReadsVersionsAndSendsNothingElse) {
  sim::SimOptions silent = AtVersion(1, 1, 0);
  silent.ignoreTypes = {0xFA};
  sim::SimOptions slow = AtVersion(1, 1, 0);
  slow.rate = 230400;
  const std::string inventory =
      Start({AtVersion(1, 2, 3), slow, silent, AtVersion(2, 0, 0)}, {3});
  ProcessResult r = Fleet({"--audit", inventory, "--image", image_, "--out",
                           Out("audit"), "-j", "5"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  const std::vector<json> records = ReadRecords(Out("audit"));
  ASSERT_EQ(records.size(), 5u) << r.out;
  EXPECT_EQ(
      Field(records, "outcome"),
      (std::vector<std::string>{"answered", "answered", "no-module-answer",
                                "unreachable", "answered"}));
  EXPECT_EQ(Field(records, "version_before"),
            (std::vector<std::string>{"V1.2.3", "V1.1.0", "", "", "V2.0.0"}));
  EXPECT_EQ(records[0]["current"], true);
  EXPECT_EQ(records[1]["current"], false);
  EXPECT_TRUE(records[2]["current"].is_null());
  EXPECT_EQ(records[1]["initial_baud"], 230400);
  EXPECT_EQ(records[2]["initial_baud"], 921600);
  EXPECT_EQ(records[2]["failure_line"], "Unable to retrieve firmware version");
  EXPECT_EQ(records[3]["failure_phase"], "connect");
  EXPECT_EQ(records[4]["image_sha256"],
            Sha256Hex(MakeImage(1, 2, 3).data(), 204800));
  EXPECT_EQ(json::parse(ReadText(Out("audit") + "/run.json"))["kind"], "audit");
  EXPECT_NE(r.out.find("Module versions: V1.1.0: 1 readers, V1.2.3: 1, "
                       "V2.0.0: 1, no answer: 2"),
            std::string::npos)
      << r.out;
  // The reader's rate query and the module's version command, nothing else.
  for (const size_t reader : {1u, 2u, 3u, 4u}) {
    EXPECT_EQ(
        ReceivedMessages(simLog_.str(),
                         "reader " + std::to_string(reader) + ": "),
        (std::vector<std::string>{"38 GetBaudRate",
                                  "FA module data: command 60 (get version)"}))
        << simLog_.str();
  }

  r = Fleet({"--audit", "--retry", Out("audit"), "--out", Out("again")});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(Field(ReadRecords(Out("again")), "outcome"),
            (std::vector<std::string>{"no-module-answer", "unreachable"}));
  EXPECT_EQ(json::parse(ReadText(Out("again") + "/run.json"))["retry_of"],
            Out("audit"));
  EXPECT_EQ(ConnectionsTo(0), 1u);
  EXPECT_EQ(ConnectionsTo(2), 2u);
}

// Current modules are left alone, the others go on to their update; a
// retry takes the failed ones only; --force and --dryrun skip nothing.
TEST_F(FleetLoopTest, ProgramSkipsCurrentModulesAndRetryTakesTheFailed) {
  const std::string inventory = Start({AtVersion(1, 2, 3), AtVersion(1, 2, 3),
                                       RefusesRateChange(), AtVersion(1, 2, 3)},
                                      {3});
  ProcessResult r = Fleet({"--program", image_, inventory, "--out",
                           Out("first"), "--modflash", MODFLASH_BIN});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  const std::vector<json> first = ReadRecords(Out("first"));
  EXPECT_EQ(Field(first, "outcome"),
            (std::vector<std::string>{"already-current", "already-current",
                                      "failed", "failed", "already-current"}));
  EXPECT_EQ(
      Field(first, "module_state"),
      (std::vector<std::string>{"already-current", "already-current",
                                "untouched", "untouched", "already-current"}));
  EXPECT_EQ(first[0]["version_before"], "V1.2.3");
  EXPECT_EQ(first[0]["log_file"], "001-reader-1.version.log");
  EXPECT_TRUE(first[0]["exit_status"].is_null());
  EXPECT_EQ(first[2]["current"], false);
  // The summary lists the failures last.
  EXPECT_LT(r.out.rfind("already-current"), r.out.find("\nreader-3 ")) << r.out;

  r = Fleet(
      {"--program", image_, "--retry", Out("first"), "--out", Out("retry")});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(Field(ReadRecords(Out("retry")), "name"),
            (std::vector<std::string>{"reader-3", "closed-4"}));
  for (const size_t reader : {0u, 1u, 3u}) EXPECT_EQ(ConnectionsTo(reader), 1u);

  // --force updates a current module, after the version read that would
  // find one newer than the image; --dryrun reads nothing first. Both at
  // once.
  std::istringstream lines(fleet_.Inventory());
  std::string line1;
  std::string line2;
  std::getline(lines, line1);
  std::getline(lines, line2);
  const std::string one =
      dir_.Write("one.txt", std::vector<uint8_t>(line1.begin(), line1.end()));
  const std::string two =
      dir_.Write("two.txt", std::vector<uint8_t>(line2.begin(), line2.end()));
  auto forced = std::async(std::launch::async, [&] {
    return Fleet({"--program", image_, one, "--force", "--out", Out("forced")});
  });
  r = Fleet({"--dryrun", image_, two, "--out", Out("dry")});
  const ProcessResult force = forced.get();
  EXPECT_EQ(force.status, 0) << force.out;
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadRecords(Out("forced"))[0]["outcome"], "updated");
  EXPECT_EQ(ReadRecords(Out("dry"))[0]["outcome"], "dry-run-ok");
  EXPECT_EQ(ConnectionsTo(0), 3u);
  EXPECT_EQ(ConnectionsTo(1), 2u);
}

// Eight readers, the 3rd and 4th faulty, the others current: waves of 1,
// then 2 at a time, filled with real updates only (the current readers
// take no place), stopping at the second failure.
TEST_F(FleetLoopTest, WavesStartAfterThePreviousOneAndStopAtTheLimit) {
  std::vector<sim::SimOptions> readers(8, AtVersion(1, 2, 3));
  readers[2] = RefusesRateChange();
  readers[3] = RefusesRateChange();
  const std::string inventory = Start(readers);
  const ProcessResult r =
      Fleet({"--program", image_, inventory, "--waves", "1,25%",
             "--max-failures", "2", "--out", Out("waves")});
  EXPECT_EQ(r.status, 1) << r.out;
  const std::vector<json> records = ReadRecords(Out("waves"));
  ASSERT_EQ(records.size(), 8u);
  const int waves[] = {1, 1, 1, 2};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i + 1);
    EXPECT_EQ(records[i]["wave"], waves[i]);
    EXPECT_EQ(records[i]["outcome"], i >= 2 ? "failed" : "already-current");
  }
  // Read while reader 4 failed, or never started: never updated.
  for (size_t i = 4; i < 8; ++i) {
    SCOPED_TRACE(i + 1);
    const std::string outcome = records[i]["outcome"];
    EXPECT_TRUE(outcome == "already-current" || outcome == "not-started")
        << outcome;
    if (outcome == "not-started") {
      EXPECT_EQ(ConnectionsTo(i), 0u);
    }
  }
  const json run = json::parse(ReadText(Out("waves") + "/run.json"));
  EXPECT_EQ(run["waves"], json({1, 1}));
  EXPECT_EQ(run["stopped"], "2 update(s) failed (--max-failures 2)");
  // A wave starts once the one before has ended.
  EXPECT_LT(r.out.find("finished reader-3"), r.out.find("Wave 2 of 5"));
  EXPECT_LT(r.out.find("finished reader-3"), r.out.find("started  reader-4"));
  EXPECT_EQ(r.out.find("Wave 3"), std::string::npos) << r.out;

  // More than 30% of the finished updates failed once one has finished
  // (--min-finished 1): the second wave never starts.
  const ProcessResult rate = Fleet(
      {"--program", image_, inventory, "--waves", "1,25%", "--max-failure-rate",
       "30%", "--min-finished", "1", "--out", Out("rate")});
  EXPECT_EQ(rate.status, 1);
  EXPECT_EQ(Field(ReadRecords(Out("rate")), "outcome")[3], "not-started");
  EXPECT_EQ(
      Field({json::parse(ReadText(Out("rate") + "/run.json"))}, "stopped")[0],
      "1 of 1 finished update(s) failed, more than 30% (--max-failure-rate)")
      << rate.out;
}

// --check shows the plan and touches nothing; --version names both
// programs; bad values and inputs stop everything with status 2.
TEST_F(FleetLoopTest, CheckVersionAndRefusedInputs) {
  const std::string inventory = Start({AtVersion(1, 2, 3)});
  ProcessResult r = Fleet({"--program", image_, inventory, "--waves", "1",
                           "--check", "--out", Out("never")});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("V1.2.3, SHA-256 " +
                       Sha256Hex(MakeImage(1, 2, 3).data(), 204800)),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("  1  reader-1  127.0.0.1:"), std::string::npos);
  EXPECT_FALSE(fs::exists(Out("never")));
  EXPECT_EQ(ConnectionsTo(0), 0u);

  r = Fleet({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("modflash-fleet 1."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nmodflash 1."), std::string::npos) << r.out;

  const std::vector<std::vector<std::string>> refused = {
      {"--program", image_, inventory, "--waves", "0"},
      {"--program", image_, inventory, "--max-failure-rate", "150%"},
      {"--program", image_, inventory, "--waves", "1", "--canary", "1"},
      {"--audit", inventory, "--waves", "2"},
      {"--audit", inventory, image_},
      {"--program", image_, dir_.path().string()},  // a folder
      {"--program", image_, "--retry", Out("none")},
      {"--dryrun", image_, "--retry", dir_.path().string()}};
  for (const auto& args : refused) {
    r = Fleet(args);
    EXPECT_EQ(r.status, 2) << args[3] << r.out << r.err;
  }
  EXPECT_NE(r.out.find("holds no report"), std::string::npos) << r.out;
  r = Fleet({"--program", image_, dir_.path().string()});
  EXPECT_NE(r.out.find("cannot read the inventory"), std::string::npos);

  // A report of another version, without outcomes, is not retried.
  fs::create_directories(Out("old"));
  std::ofstream(Out("old") + "/report.jsonl")
      << "{\"name\":\"a\",\"address\":\"127.0.0.1\",\"port\":5000}\n";
  r = Fleet({"--program", image_, "--retry", Out("old")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("record 1 has no 'outcome'"), std::string::npos)
      << r.out;
  EXPECT_EQ(ConnectionsTo(0), 0u);
}

// A name with control bytes reaches the console escaped, the report as it
// is.
TEST_F(FleetLoopTest, NamesWithControlBytesAreEscapedOnTheConsole) {
  Start({AtVersion(1, 2, 3)});
  const std::string line =
      "127.0.0.1:" + std::to_string(fleet_.reader(0).port()) +
      " dock\x1b[2J\x07\n";
  const std::string inventory =
      dir_.Write("names.txt", std::vector<uint8_t>(line.begin(), line.end()));
  const ProcessResult r = Fleet({"--audit", inventory, "--out", Out("names")});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
  EXPECT_NE(r.out.find("dock\\x1b[2J\\x07"), std::string::npos) << r.out;
  EXPECT_EQ(ReadRecords(Out("names"))[0]["name"], "dock\x1b[2J\x07");
}

// Names with characters of two bytes: the audit's table cuts and pads them
// by characters, so its columns line up and its text stays UTF-8.
TEST_F(FleetLoopTest, AuditTableCutsAndPadsNamesByCharacters) {
  Start({AtVersion(1, 2, 3), AtVersion(1, 1, 0)});
  const std::string longName =
      "Lagerhalle-Nord-Tor-0123456789-abcdefgh\xC3\xBC-1";
  const std::string lines =
      "127.0.0.1:" + std::to_string(fleet_.reader(0).port()) + " " + longName +
      "\n127.0.0.1:" + std::to_string(fleet_.reader(1).port()) +
      " S\xC3\xBC\x64\n";
  const std::string inventory =
      dir_.Write("inv2.txt", std::vector<uint8_t>(lines.begin(), lines.end()));
  const ProcessResult r =
      Fleet({"--audit", inventory, "--plain", "--out", Out("umlaut")});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(fleet::ValidUtf8(r.out), r.out);
  std::istringstream out(r.out);
  std::vector<std::string> table;
  for (std::string line; std::getline(out, line);) {
    if (line.rfind("name ", 0) == 0 || !table.empty()) table.push_back(line);
    if (table.size() == 3) break;
  }
  ASSERT_EQ(table.size(), 3u) << r.out;
  // The name is cut after its 40th character, the ü.
  EXPECT_EQ(table[1].rfind(longName.substr(0, longName.size() - 2) + "  ", 0),
            0u)
      << table[1];
  const auto column = [](const std::string& line, const std::string& what) {
    return fleet::TextWidth(line.substr(0, line.find(what)));
  };
  EXPECT_EQ(column(table[1], "127.0.0.1"), column(table[0], "address"));
  EXPECT_EQ(column(table[2], "127.0.0.1"), column(table[0], "address"));
  EXPECT_EQ(column(table[1], "answered"), column(table[0], "outcome"));
  EXPECT_EQ(column(table[2], "answered"), column(table[0], "outcome"));
  EXPECT_EQ(column(table[1], "V1.2.3"), column(table[0], "version"));
  EXPECT_EQ(column(table[2], "V1.1.0"), column(table[0], "version"));
}

}  // namespace
}  // namespace modflash::testing
