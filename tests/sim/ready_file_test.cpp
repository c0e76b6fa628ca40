// readersim --ready-file: the file a script waits for. Once it is there,
// every reader listens and the inventory is whole; a run that cannot serve
// leaves none, not even one of an earlier run.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process/child_process.h"
#include "tests/sim/sim_client.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace modflash::testing {
namespace {

std::vector<std::string> Lines(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Starts readersim with `args` and waits for `ready` to appear, checking
// the moment it does; what `check` finds then is what a script finds.
template <typename Check>
void WhenReady(const std::vector<std::string>& args,
               const std::filesystem::path& ready, Check check) {
  process::ChildProcess sim;
  std::string error;
  ASSERT_TRUE(sim.Start(READERSIM_BIN, args, {}, error)) << error;
  std::string out;
  const auto giveUp =
      std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!std::filesystem::exists(ready) &&
         std::chrono::steady_clock::now() < giveUp && sim.ReadOutput(out)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(std::filesystem::exists(ready)) << out;
  check();
  sim.Kill();
  sim.Wait();
}

TEST(ReadyFileTest, AppearsOnceEveryReaderListensAndTheInventoryIsWhole) {
  TempDir dir;
  const auto inventory = dir.path() / "fleet.txt";
  const auto ready = dir.path() / "ready";
  WhenReady({"--readers", "200", "--inventory-out", inventory.string(),
             "--ready-file", ready.string()},
            ready, [&] {
              const std::vector<std::string> listed = Lines(inventory);
              const std::vector<std::string> addresses = Lines(ready);
              ASSERT_EQ(listed.size(), 200u);
              ASSERT_EQ(addresses.size(), 200u);
              for (size_t i = 0; i < listed.size(); ++i) {
                EXPECT_EQ(listed[i],
                          addresses[i] + " reader-" + std::to_string(i + 1));
                RawClient client;
                EXPECT_TRUE(client.Connect(static_cast<uint16_t>(std::stoi(
                    addresses[i].substr(addresses[i].find(':') + 1)))))
                    << addresses[i];
              }
            });
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "fleet.txt.partial"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "ready.partial"));
}

TEST(ReadyFileTest, SingleReaderNamesItsPort) {
  TempDir dir;
  const auto ready = dir.path() / "ready";
  WhenReady({"--port", "0", "--ready-file", ready.string()}, ready, [&] {
    const std::vector<std::string> lines = Lines(ready);
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_EQ(lines[0].rfind("127.0.0.1:", 0), 0u) << lines[0];
    RawClient client;
    EXPECT_TRUE(
        client.Connect(static_cast<uint16_t>(std::stoi(lines[0].substr(10)))));
  });
}

TEST(ReadyFileTest, NoneWhenTheReadersCannotStartNotEvenAnEarlierOne) {
  TempDir dir;
  const auto ready = dir.path() / "ready";
  // A capture in a folder that does not exist: no reader starts.
  const std::string capture = (dir.path() / "none" / "c.pcap").string();
  for (const std::vector<std::string>& fleet :
       {std::vector<std::string>{}, {"--readers", "3"}}) {
    std::ofstream(ready) << "127.0.0.1:5000\n";
    std::vector<std::string> args = {
        "--port", "0", "--pcap", capture, "--ready-file", ready.string()};
    args.insert(args.end(), fleet.begin(), fleet.end());
    const ProcessResult run = RunProcess(READERSIM_BIN, args, 30000);
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("cannot write the capture"), std::string::npos)
        << run.out;
    EXPECT_FALSE(std::filesystem::exists(ready));
  }
}

}  // namespace
}  // namespace modflash::testing
