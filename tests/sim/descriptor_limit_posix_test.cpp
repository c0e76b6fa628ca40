// readersim's fleet against the limit of open descriptors: the soft limit is
// raised to the hard one; a fleet too big for the limit is refused before it
// starts, with the numbers; descriptors that run out anyway (taken by what
// readersim inherited) end it just as clearly. Never a sanitizer report.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace modflash::testing {
namespace {

// Runs `script` with readersim as $0 and `arg` as $1.
ProcessResult Shell(const std::string& script, const std::string& arg = "") {
  return RunProcess("/bin/bash", {"-c", script, READERSIM_BIN, arg}, 60000);
}

TEST(DescriptorLimitTest, FleetTooBigOrOutOfDescriptorsEndsWithTheLimit) {
  const ProcessResult refused =
      Shell("ulimit -n 64; exec \"$0\" --readers 300");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out,
            "readersim: too many open files: 300 readers need about 616 "
            "descriptors, the limit is 64 (ulimit -n)\n");
  EXPECT_EQ(refused.err, "");

  // 20 readers fit the limit, but 41 descriptors were open already.
  const ProcessResult ranOut = Shell(
      "ulimit -n 64; for i in $(seq 10 50); do eval \"exec $i</dev/null\"; "
      "done; exec \"$0\" --readers 20");
  EXPECT_EQ(ranOut.status, 1);
  EXPECT_NE(ranOut.out.find("cannot listen on 127.0.0.1:0, error 10024\n"
                            "readersim: too many open files: 20 readers need "
                            "about 56 descriptors, the limit is 64 (ulimit "
                            "-n), and reader "),
            std::string::npos)
      << ranOut.out;
  EXPECT_EQ(ranOut.out.find("readers ready"), std::string::npos);
  EXPECT_EQ(ranOut.err, "");  // the sanitizers' reports go there
}

TEST(DescriptorLimitTest, SoftLimitIsRaisedToTheHardOne) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 300) {
    GTEST_SKIP() << "hard limit " << limit.rlim_max << " is below 300";
  }
  TempDir dir;
  const std::string out = (dir.path() / "out.txt").string();
  // 100 readers need 216 descriptors: more than the soft limit of 64.
  const ProcessResult run = Shell(
      "ulimit -S -n 64; \"$0\" --readers 100 >\"$1\" & "
      "for i in $(seq 600); do grep -qs 'readers ready' \"$1\" && break; "
      "kill -0 $! 2>/dev/null || break; sleep 0.1; done; "
      "kill $! 2>/dev/null; wait $!; cat \"$1\"",
      out);
  EXPECT_NE(run.out.find("readersim: 100 readers ready\n"), std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("too many open files"), std::string::npos);
  EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace modflash::testing
