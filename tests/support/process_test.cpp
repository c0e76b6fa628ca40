// The process helper itself: arguments must reach the child exactly as
// given (the Windows side builds a quoted command line), and a child that
// does not end is ended at the time-out.

#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace modflash::testing {
namespace {

TEST(RunProcessTest, ArgumentsReachTheChildUnchanged) {
  // The program echoes its file name in the run header, then fails to open
  // it and ends with -1.
  const std::vector<std::string> names = {
      "plain.bin",          "with space.bin",    "tab\there.bin",
      "quote\"inside.bin",  "trailing\\",        "ends with space\\",
      "back\\\\\"quoted\"", "\\\\server\\share", "",
  };
  for (const std::string& name : names) {
    SCOPED_TRACE("file name [" + name + "]");
    const ProcessResult r =
        RunProcess(MODFLASH_BIN, {"--dryrun", name, "127.0.0.1", "5000"});
    EXPECT_NE(r.out.find("Firmware image file: " + name + "\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, MinusOneStatus());
  }
}

TEST(RunProcessTest, ChildThatKeepsRunningIsEndedAtTheTimeOut) {
  // The simulator serves connections until it is stopped.
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult r = RunProcess(READERSIM_BIN, {"--port", "0"}, 1500);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.status, -1000);
  EXPECT_GE(took, std::chrono::milliseconds(1400));  // timers may round
  EXPECT_LT(took, std::chrono::seconds(30));
}

TEST(RunProcessTest, MissingProgramIsReported) {
  const ProcessResult r = RunProcess("/nonexistent/modflash-missing", {});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace modflash::testing
