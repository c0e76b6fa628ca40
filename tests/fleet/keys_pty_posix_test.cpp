// The keys on the fleet's own terminal, the built fleet on a pseudo-
// terminal of the test's (TERM=dumb: plain lines): p pauses, c continues;
// the terminal reads key by key without echo while the run lives and is as
// before once Ctrl-C has ended it; run.json and the journal say "key".

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "tests/support/run_folder.h"
#include "tests/support/temp_dir.h"
#include "tools/readersim/fleet_sim.h"

namespace modflash::testing {
namespace {

using nlohmann::json;

// Reader 2 fails at once; readers 1 and 3 take an update's whole course
// (two restart waits of 8 s). -j 1: one at a time.
TEST(FleetKeysPtyTest, KeysPauseAndContinueAndTheTerminalIsRestored) {
  TempDir dir;
  const std::string image = dir.Write("image.bin", MakeImage(1, 2, 3));
  std::ostringstream simLog;
  sim::SimFleet readers(&simLog);
  sim::SimOptions ok;
  ok.port = 0;
  ok.version = sim::Version{1, 1, 0};
  sim::SimOptions failing = ok;
  failing.failRateChange = true;
  ASSERT_TRUE(readers.Start({ok, failing, ok}));
  const std::string text = readers.Inventory();
  const std::string inventory =
      dir.Write("fleet.txt", std::vector<uint8_t>(text.begin(), text.end()));
  const std::string out = (dir.path() / "run").string();
  const std::string to = "--out=" + out;
  const char* argv[] = {
      MODFLASH_FLEET_BIN, "--program", image.c_str(), inventory.c_str(),
      "--jobs=1",         to.c_str(),  nullptr};
  std::string term = "TERM=dumb";
  char* envp[] = {term.data(), nullptr};

  // The test keeps the terminal's side open: its settings stay readable
  // after the fleet has ended.
  int master = -1;
  int terminal = -1;
  ASSERT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
  termios before{};
  tcgetattr(terminal, &before);
  const pid_t pid = fork();
  if (pid == 0) {
    close(master);
    if (login_tty(terminal) == 0)
      execve(argv[0], const_cast<char* const*>(argv), envp);
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  std::string screen;
  int status = -1;
  bool ended = false;
  const auto look = [&] {
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;)
      screen.append(buffer, static_cast<size_t>(n));
    if (!ended && waitpid(pid, &status, WNOHANG) == pid) ended = true;
  };
  // Reads the screen until it holds `line`, the fleet ends or a minute
  // passes.
  const auto until = [&](const std::string& line) {
    for (int i = 0; i < 1200 && screen.find(line) == std::string::npos; ++i) {
      const bool wasEnded = ended;
      look();
      if (wasEnded) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return screen.find(line) != std::string::npos;
  };
  const auto press = [&](char key) { EXPECT_EQ(write(master, &key, 1), 1); };
  termios now{};

  EXPECT_TRUE(until("Keys: p pauses the run")) << screen;
  ASSERT_TRUE(until("started  reader-1")) << screen;
  EXPECT_EQ(before.c_lflag & (ICANON | ECHO), tcflag_t{ICANON | ECHO});
  tcgetattr(terminal, &now);
  EXPECT_EQ(now.c_lflag & (ICANON | ECHO | ISIG), tcflag_t{ISIG});
  press('p');
  EXPECT_TRUE(
      until("Paused (key): no new update starts; running ones "
            "finish. The key c, or modflash-fleet --continue " +
            out + ", goes on."))
      << screen;
  ASSERT_TRUE(until("finished reader-1: updated")) << screen;
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  look();
  EXPECT_EQ(readers.reader(1).Connections().size(), 0u);
  EXPECT_EQ(screen.find("started  reader-2"), std::string::npos);
  press('C');
  ASSERT_TRUE(until("started  reader-3")) << screen;
  EXPECT_LT(screen.find("Continued: updates start again."),
            screen.find("started  reader-2"));
  press('\x03');
  EXPECT_TRUE(until("Interrupted: no further update starts")) << screen;
  press('\x03');
  const bool summed = until("\nPage: ");
  if (summed && !ended) ended = waitpid(pid, &status, 0) == pid;
  EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 1) << screen;
  tcgetattr(terminal, &now);
  EXPECT_EQ(now.c_lflag, before.c_lflag);
  EXPECT_EQ(now.c_cc[VMIN], before.c_cc[VMIN]);
  if (!ended) kill(pid, SIGKILL);
  close(master);
  close(terminal);

  const json holds = json::parse(ReadText(out + "/run.json"))["holds"];
  ASSERT_EQ(holds.size(), 2u) << holds.dump();
  EXPECT_TRUE(holds[0]["event"] == "pause" && holds[1]["event"] == "continue");
  EXPECT_TRUE(holds[0]["by"] == "key" && holds[1]["by"] == "key");
  EXPECT_NE(ReadText(out + "/journal.jsonl").find("\"by\":\"key\""),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(out + "/pause"));
}

}  // namespace
}  // namespace modflash::testing
