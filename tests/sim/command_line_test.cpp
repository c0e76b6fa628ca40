#include "tools/readersim/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tools/readersim/fleet_sim.h"

namespace modflash::sim {
namespace {

using Bytes = std::vector<uint8_t>;

bool Parse(const std::vector<std::string>& args, CommandLine& line,
           std::string& error) {
  line = CommandLine{};
  error.clear();
  return ParseCommandLine(args, line, error);
}

TEST(ReaderSimCommandLine, TakesEveryOption) {
  CommandLine line;
  std::string error;
  ASSERT_TRUE(Parse({"--port",
                     "0",
                     "--rate=115200",
                     "--version",
                     "2.0.13",
                     "--restart-ms",
                     "50",
                     "--complete-restart-ms",
                     "900",
                     "--line-timing",
                     "--trace",
                     "--flash-out",
                     "f.bin",
                     "--expect",
                     "e.bin",
                     "--connections",
                     "3",
                     "--refuse-slice",
                     "0x405000:4:0x03",
                     "--short-status",
                     "7:12",
                     "--enter-preamble",
                     "BFE",
                     "--enter-status",
                     "0x41",
                     "--complete-status",
                     "0",
                     "--version-after",
                     "1.2.4",
                     "--silent-polls",
                     "2",
                     "--ignore-type",
                     "0x38",
                     "--ignore-type",
                     "0xFA",
                     "--fail-rate-change",
                     "--close-after",
                     "100",
                     "--byte-by-byte",
                     "--low-length",
                     "5:4",
                     "--oversize",
                     "2:247"},
                    line, error))
      << error;
  const SimOptions& o = line.options;
  EXPECT_EQ(line.action, CommandLine::Action::kServe);
  EXPECT_EQ(o.port, 0);
  EXPECT_EQ(o.rate, 115200);
  EXPECT_EQ(o.version.major, 2);
  EXPECT_EQ(o.version.patch, 13);
  EXPECT_EQ(o.prepareRestartMs, 50u);
  EXPECT_EQ(o.rateRestartMs, 50u);
  EXPECT_EQ(o.completeRestartMs, 900u);
  EXPECT_TRUE(o.lineTiming && o.trace && o.failRateChange && o.byteByByte);
  EXPECT_EQ(o.flashOut, "f.bin");
  EXPECT_EQ(line.expectPath, "e.bin");
  EXPECT_EQ(o.maxConnections, 3u);
  EXPECT_EQ(o.refuseAddress, 0x405000u);
  EXPECT_EQ(o.refuseTimes, 4u);
  EXPECT_EQ(o.refuseStatus, 3);
  EXPECT_EQ(o.shortStatusPacket, 7u);
  EXPECT_EQ(o.shortStatusLength, 12);
  EXPECT_EQ(o.enterPreamble, "BFE");
  EXPECT_EQ(o.enterStatus, 0x41);
  EXPECT_TRUE(o.completeStatusSet);
  EXPECT_EQ(o.completeStatus, 0);
  EXPECT_TRUE(o.versionAfterSet);
  EXPECT_EQ(o.versionAfter.patch, 4);
  EXPECT_EQ(o.silentPolls, 2u);
  EXPECT_EQ(o.ignoreTypes, (std::vector<uint8_t>{0x38, 0xFA}));
  EXPECT_EQ(o.closeAfterPackets, 100u);
  EXPECT_EQ(o.lowLengthFrame, 5u);
  EXPECT_EQ(o.lowLengthValue, 4);
  EXPECT_EQ(o.oversizeFrame, 2u);
  EXPECT_EQ(o.oversizeLength, 247);

  // Defaults of the optional fields.
  ASSERT_TRUE(Parse({"--refuse-slice", "4210688", "--low-length", "3",
                     "--oversize", "1", "--short-status", "2"},
                    line, error));
  EXPECT_EQ(line.options.refuseTimes, 1u);
  EXPECT_EQ(line.options.refuseStatus, 3);
  EXPECT_EQ(line.options.lowLengthValue, 6);
  EXPECT_EQ(line.options.oversizeLength, 100);
  EXPECT_EQ(line.options.shortStatusLength, 8);
}

TEST(ReaderSimCommandLine, RefusesBadArgumentsWithOneLine) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"--port"}, "option --port needs a value"},
      {{"--port", "16536"}, "not a number from 0 to 16535"},
      {{"--port", "-1"}, "not a number"},
      {{"--rate", "57600"}, "is not 115200, 230400, 460800 or 921600"},
      {{"--version", "1.2"}, "is not a version"},
      {{"--version", "1.2.256"}, "is not a version"},
      {{"--enter-preamble", "BX"}, "only the letters B, F and E"},
      {{"--low-length", "1:8"}, "L from 4 to 7"},
      {{"--oversize", "1:64"}, "SIZE from 65 to 247"},
      {{"--short-status", "1:18"}, "LEN from 1 to 17"},
      {{"--refuse-slice", "x"}, "ADDR[:TIMES[:STATUS]]"},
      {{"--trace=1"}, "takes no value"},
      {{"make-image", "--version", "1.2.3"}, "needs a FILE"},
      {{"make-image", "f.bin"}, "needs --version"},
      {{"--versions", "1.1.0"}, "--versions needs --readers N"},
      {{"--readers", "4", "--versions", "1.1.0,2.0.0:2"},
       "only the last without :N"},
      {{"--readers", "4", "--versions", "1.1.0:0"}, "N from 1 to 4096"},
      {{"--readers", "4", "--versions", "1.1:2"}, "is not X.Y.Z[:N]"},
      {{"--readers", "4", "--versions", "2.0.0:3,1.1.0:2"},
       "gives versions to 5 readers, more than the 4 of --readers"},
  };
  for (const auto& [args, expected] : cases) {
    CommandLine line;
    std::string error;
    EXPECT_FALSE(Parse(args, line, error)) << args[0];
    EXPECT_NE(error.find(expected), std::string::npos)
        << args[0] << ": " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
  }
}

TEST(ReaderSimCommandLine, VersionsGoToTheReadersInOrder) {
  CommandLine line;
  std::string error;
  ASSERT_TRUE(
      Parse({"--readers", "6", "--version", "1.0.0", "--versions",
             "2.0.0:2,1.1.0:0x1", "--faulty", "2,5", "--drop-answer", "9"},
            line, error))
      << error;
  std::vector<SimOptions> readers =
      FleetReaderOptions(line.options, line.fleet);
  ASSERT_EQ(readers.size(), 6u);
  const std::vector<std::string> expected = {"2.0.0", "2.0.0", "1.1.0",
                                             "1.0.0", "1.0.0", "1.0.0"};
  for (size_t i = 0; i < readers.size(); ++i) {
    const Version& v = readers[i].version;
    EXPECT_EQ(std::to_string(v.major) + "." + std::to_string(v.minor) + "." +
                  std::to_string(v.patch),
              expected[i])
        << "reader " << i + 1;
    // The faults still go to the faulty readers only.
    EXPECT_EQ(readers[i].dropAnswerFrame, i == 1 || i == 4 ? 9u : 0u);
  }
  // The last share without :N takes every reader left.
  ASSERT_TRUE(
      Parse({"--readers", "4", "--versions", "3.0.1:1,1.9.9"}, line, error))
      << error;
  readers = FleetReaderOptions(line.options, line.fleet);
  ASSERT_EQ(readers.size(), 4u);
  EXPECT_EQ(readers[0].version.major, 3);
  for (size_t i = 1; i < readers.size(); ++i) {
    EXPECT_EQ(readers[i].version.minor, 9) << "reader " << i + 1;
  }
}

TEST(ReaderSimCommandLine, MakeImageIsValidAndDeterministic) {
  const Bytes a = MakeImage(Version{1, 2, 3}, 1);
  ASSERT_EQ(a.size(), kFlashSize);
  EXPECT_EQ(Bytes(a.begin() + 204760, a.begin() + 204764),
            (Bytes{'X', '3', '0', 'M'}));
  EXPECT_EQ(a[204765], 3);
  EXPECT_EQ(a[204766], 2);
  EXPECT_EQ(a[204767], 1);
  EXPECT_EQ(MakeImage(Version{1, 2, 3}, 1), a);
  EXPECT_NE(MakeImage(Version{1, 2, 3}, 2), a);
  // Code, not a constant fill.
  size_t distinct = 0;
  bool seen[256] = {};
  for (size_t i = 0; i < 4096; ++i) {
    if (!seen[a[i]]) ++distinct;
    seen[a[i]] = true;
  }
  EXPECT_GT(distinct, 200u);
}

TEST(ReaderSimBinary, HelpBadOptionAndMakeImage) {
  testing::ProcessResult help = testing::RunProcess(READERSIM_BIN, {"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--port",
                             "--connections",
                             "--rate",
                             "--version",
                             "--restart-ms",
                             "--prepare-restart-ms",
                             "--rate-restart-ms",
                             "--complete-restart-ms",
                             "--line-timing",
                             "--trace",
                             "--flash-out",
                             "--expect",
                             "--refuse-slice",
                             "--short-status",
                             "--enter-preamble",
                             "--enter-status",
                             "--complete-status",
                             "--version-after",
                             "--silent-polls",
                             "--ignore-type",
                             "--fail-rate-change",
                             "--close-after",
                             "--byte-by-byte",
                             "--low-length",
                             "--oversize",
                             "--delay-answer",
                             "--double-answer",
                             "--duplicate-answer",
                             "--extra-status",
                             "--lose-request",
                             "--answer-latency",
                             "--noise-after",
                             "--resend-in-pieces",
                             "--latency-schedule",
                             "--no-address-echo",
                             "make-image"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }

  testing::ProcessResult bad =
      testing::RunProcess(READERSIM_BIN, {"--port", "5000", "--frobnicate"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(bad.err,
            "readersim: unknown option '--frobnicate' (see readersim "
            "--help)\n");

  testing::TempDir dir;
  const std::string path = (dir.path() / "image.bin").string();
  testing::ProcessResult made = testing::RunProcess(
      READERSIM_BIN, {"make-image", path, "--version", "1.2.3"});
  EXPECT_EQ(made.status, 0);
  EXPECT_EQ(testing::ReadFileBytes(path), MakeImage(Version{1, 2, 3}, 1));
}

TEST(ReaderSimBinary, PortZeroPrintsTheChosenPortAtOnce) {
  // The simulator serves until it is killed; the line must be out by then
  // (a loaded Wine takes seconds to start a program).
  testing::ProcessResult run =
      testing::RunProcess(READERSIM_BIN, {"--port", "0"}, 8000);
  const std::string prefix = "readersim: listening on 127.0.0.1:";
  ASSERT_EQ(run.out.rfind(prefix, 0), 0u) << run.out;
  const size_t end = run.out.find('\n');
  ASSERT_NE(end, std::string::npos);
  const int port = std::stoi(run.out.substr(prefix.size(), end));
  EXPECT_GE(port, 10000);
  EXPECT_LT(port, 16536);
}

}  // namespace
}  // namespace modflash::sim
