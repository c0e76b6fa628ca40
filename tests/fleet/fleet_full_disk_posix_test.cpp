// The run folder's disk fills up while updates are in flight: a small
// tmpfs mounted as the run folder (which needs root), filled by the test.
// The fleet stops starting, lets the running updates finish whole, keeps
// its journal whole and says so with its exit status.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "fleet/cli/exit_status.h"
#include "fleet/report/journal_read.h"
#include "tests/support/fleet_process.h"
#include "tests/support/run_folder.h"
#include "tests/support/sim_fleet_test.h"

namespace modflash::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A tmpfs of `size` on `dir` while it lives; lazily unmounted, whatever
// still holds a file of it.
class TmpfsMount {
 public:
  TmpfsMount(const fs::path& dir, const std::string& size) : dir_(dir) {
    const std::string command =
        "mount -t tmpfs -o size=" + size + " tmpfs '" + dir.string() + "' 2>&1";
    mounted_ = std::system(command.c_str()) == 0;
  }
  ~TmpfsMount() {
    if (mounted_) {
      const std::string command = "umount -l '" + dir_.string() + "'";
      if (std::system(command.c_str()) != 0) {
        ADD_FAILURE() << "cannot unmount " << dir_;
      }
    }
  }
  bool mounted() const { return mounted_; }

 private:
  fs::path dir_;
  bool mounted_ = false;
};

// Writes `path` until the disk refuses more.
void FillDisk(const fs::path& path) {
  std::ofstream out(path, std::ios::binary);
  const std::string block(4096, 'x');
  for (int i = 0; i < (1 << 16) && out; ++i) out.write(block.data(), 4096);
  out.flush();
}

using FleetFullDiskTest = SimFleetTest;

TEST_F(FleetFullDiskTest, FullDiskStopsStartsAndKeepsTheJournalWhole) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  fs::create_directories(runDir_);
  const TmpfsMount mount(runDir_, "512k");
  if (!mount.mounted()) {
    GTEST_SKIP() << "cannot mount a tmpfs on " << runDir_
                 << " (mount refused here)";
  }
  StartReaders(4, false);
  FleetProcess fleet;
  fleet.Start({"--program", imagePath_, inventoryPath_, "-j", "2", "--force",
               "--allow-older", "--plain", "--out", runDir_.string(),
               "--modflash", MODFLASH_BIN},
              (dir_.path() / "fleet.err").string());
  const fs::path journal = runDir_ / fleet::kJournalFile;
  // Two updates run once their running entries are written.
  const auto bothRun = [&] {
    const std::string text = ReadText(journal);
    const size_t first = text.find("\"entry\":\"running\"");
    return first != std::string::npos &&
           text.find("\"entry\":\"running\"", first + 1) != std::string::npos;
  };
  ASSERT_TRUE(fleet.FollowUntil(bothRun, std::chrono::seconds(120)))
      << fleet.out();
  FillDisk(runDir_ / "filler");
  const process::ChildExit exit = fleet.ReadToTheEnd(std::chrono::seconds(300));
  const std::string context = fleet.out() + ReadText(journal);
  EXPECT_TRUE(exit.exited) << context;
  EXPECT_EQ(exit.status, fleet::kNotWritten) << context;
  const size_t failure = fleet.out().find("cannot write " + runDir_.string());
  ASSERT_NE(failure, std::string::npos) << context;
  EXPECT_EQ(fleet.out().find(" started ", failure), std::string::npos)
      << "an update started after the failure\n"
      << context;
  // Every whole line of the journal is an entry (a last line without its
  // end would be a torn write, which is left out); it reads back.
  std::istringstream lines(ReadText(journal));
  for (std::string line; std::getline(lines, line);) {
    if (lines.eof()) break;  // no line end: torn
    EXPECT_TRUE(json::parse(line, nullptr, false).is_object()) << line;
  }
  fleet::JournalRead read;
  std::string error;
  EXPECT_TRUE(fleet::ReadJournal(runDir_.string(), 4, read, error)) << error;
  // The two in flight ended whole; the others never reached their readers.
  fleet_.Stop();
  fleet_.Wait();
  ExpectNoTransferCut(fleet_, context);
  for (size_t i = 0; i < fleet_.size(); ++i) {
    const bool started = read.readers[i].started;
    EXPECT_EQ(fleet_.reader(i).Connections().size(), started ? 1u : 0u)
        << "reader " << i + 1 << "\n"
        << context;
  }
  EXPECT_TRUE(read.readers[0].started && read.readers[1].started) << context;
  EXPECT_FALSE(read.readers[2].started || read.readers[3].started) << context;
}

}  // namespace
}  // namespace modflash::testing
