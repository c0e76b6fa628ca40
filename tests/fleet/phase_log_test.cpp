#include "fleet/transcript/phase_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fleet/transcript/line_splitter.h"
#include "tests/support/transcript.h"

namespace modflash::fleet {
namespace {

using namespace modflash::testing::transcript;

const char kHeader[] =
    "Real programming run\nFirmware image file: img.bin\nURI: 10.0.0.5:5000\n"
    "\nFirmware file successfully read.\nFirmware file is valid\n"
    "File Firmware Version: V1.2.3\nConnected to reader.\n\n"
    "AutoBaud: 921600 succeeded\n";

struct Expected {
  const char* phase;
  double start;
  double end;
};

void ExpectPhases(const std::vector<PhaseSpan>& got,
                  const std::vector<Expected>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(want[i].phase);
    EXPECT_STREQ(got[i].phase, want[i].phase);
    EXPECT_DOUBLE_EQ(got[i].start, want[i].start);
    EXPECT_DOUBLE_EQ(got[i].end, want[i].end);
  }
}

// Lines in pieces, with "\r\n" ends, cut at the length kept, and bytes
// that the reader takes out (marks it counts) left out of them.
TEST(LineSplitterTest, JoinsPiecesCutsLongLinesAndLeavesOutMarks) {
  LineSplitter lines(6);
  std::vector<std::string> got;
  int stars = 0;
  const auto takeStars = [&](char c) {
    if (c != '*') return false;
    ++stars;
    return true;
  };
  const auto keep = [&](const std::string& line) { got.push_back(line); };
  for (const char* chunk :
       {"Conn", "ected\r", "\n**ab*c\n", "\r\n", "0X1234"}) {
    lines.Feed(chunk, takeStars, keep);
  }
  EXPECT_EQ(got, (std::vector<std::string>{"Connec", "abc", ""}));
  EXPECT_EQ(stars, 3);
  lines.Feed(
      "56789**\n", [](char) { return false; }, keep);
  EXPECT_EQ(got.back(), "0X1234");
}

// A whole update as its output arrives: each phase starts when the chunk
// that ends its opening line is read, even when the line came in pieces or
// with "\r\n" line ends.
TEST(FleetPhasesTest, WholeUpdateIsSplitWhereItsLinesArrived) {
  for (const bool crlf : {false, true}) {
    SCOPED_TRACE(crlf ? "CRLF" : "LF");
    std::vector<std::pair<std::string, double>> chunks = {
        {kHeader, 0.3},
        {"Current baud rate: 921600\n", 0.5},
        {"Successfully set baud rate to 115200 baud\n", 0.7},
        {Wait(8) + "Current firmware version: V1.1.0\n", 9.1},
        {"Entering InitiateFirmwareUpdate\nWaiting for module to reset & "
         "initialize\nSending Update_Enter",
         9.2},
        {"UpdateMode packet.\n  EnterUpdateMode got Status Packet\n", 9.8},
        {Progress(), 60.0},
        {std::string(kSent) + "Module Firmware successfully written.\n", 61.0},
        {Wait(8), 69.5},
        {"Post-update firmware version: V1.2.3\n", 70.0},
        {"Successfully reset baud rate to 921600 baud\n" + Success("10.0.0.5"),
         70.3}};
    PhaseLog log;
    for (auto& [text, seconds] : chunks) {
      if (crlf) {
        std::string withCr;
        for (const char c : text)
          withCr += c == '\n' ? "\r\n" : std::string(1, c);
        text = withCr;
      }
      log.Consume(text, seconds);
    }
    // The restart after the update belongs to the wait after it.
    ExpectPhases(log.Finish(70.4), {{"connect-probe", 0, 0.5},
                                    {"baud-rate", 0.5, 9.1},
                                    {"restart-wait", 9.1, 9.8},
                                    {"transfer", 9.8, 61.0},
                                    {"post-update-wait", 61.0, 70.0},
                                    {"verify", 70.0, 70.4}});
  }
}

// Failed runs end in the phase they failed in; phases whose line never came
// are left out.
TEST(FleetPhasesTest, FailedRunsEndInTheirPhase) {
  PhaseLog unreachable;
  unreachable.Consume(
      "Failed to connect to reader. Error (10061) Connection refused\n"
      "Unable to determine module's baud rate\n",
      4.0);
  ExpectPhases(unreachable.Finish(4.1), {{"connect-probe", 0, 4.1}});

  PhaseLog refused;
  refused.Consume(std::string(kHeader) + "Current baud rate: 115200\n", 0.2);
  refused.Consume(Wait(8) + "Current firmware version: V1.1.0\n" + kUpdateMode,
                  9.0);
  refused.Consume(Progress().substr(0, 200) +
                      "SendCodePacket failed at buffer offset 4096 with 5 "
                      "retries\n",
                  12.5);
  ExpectPhases(refused.Finish(12.6), {{"connect-probe", 0, 0.2},
                                      {"baud-rate", 0.2, 9.0},
                                      {"restart-wait", 9.0, 9.0},
                                      {"transfer", 9.0, 12.6}});

  // The earlier front end restarts only after its update request; a dry
  // run's wait opens with its own success line.
  PhaseLog earlier;
  earlier.Consume(std::string(kHeader) + "Current baud rate: 230400\n", 0.2);
  earlier.Consume(
      "Successfully set baud rate to 115200 baud\n\n"
      "Current firmware version: V1.1.0\nEntering InitiateFirmwareUpdate\n"
      "Waiting for module to reset & initialize\n",
      0.6);
  earlier.Consume("Sending Update_EnterUpdateMode packet.\n", 1.1);
  earlier.Consume(Progress() + kSent + "Dry run (testMode = true) succeeded.\n",
                  40.0);
  ExpectPhases(earlier.Finish(45.0), {{"connect-probe", 0, 0.2},
                                      {"baud-rate", 0.2, 0.6},
                                      {"restart-wait", 0.6, 1.1},
                                      {"transfer", 1.1, 40.0},
                                      {"post-update-wait", 40.0, 45.0}});
}

}  // namespace
}  // namespace modflash::fleet
