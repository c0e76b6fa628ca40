// The capture file readersim writes, read back byte by byte without any
// capture tool (the dissector tests read it with tshark), and --pcap on the
// command line.

#include "tools/readersim/pcap_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tools/readersim/command_line.h"

namespace modflash::sim {
namespace {

uint32_t Get(const std::vector<uint8_t>& b, size_t at, int bytes, bool le) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    const uint32_t byte = b[at + static_cast<size_t>(le ? bytes - 1 - i : i)];
    value = value << 8 | byte;
  }
  return value;
}

TEST(PcapCaptureTest, ConnectionReadsBackWithConsistentSequenceNumbers) {
  testing::TempDir dir;
  const std::string path = (dir.path() / "c.pcap").string();
  PcapFile file;
  ASSERT_TRUE(file.Open(path));
  TcpCapture capture(file, TcpEndpoint{0x7F000001, 40000},
                     TcpEndpoint{0x7F000001, 5000}, 1);
  const WallClock::time_point t0 = WallClock::now();
  const std::vector<uint8_t> data(kMaxSegment + 10, 0x5A);
  capture.Opened(t0);
  capture.FromClient(t0 + std::chrono::microseconds(1500), data.data(), 8);
  capture.FromServer(t0 + std::chrono::seconds(2), data.data(), data.size());
  capture.ClientClosed(t0 + std::chrono::seconds(3));
  capture.FromClient(t0 + std::chrono::seconds(4), data.data(), 3);  // late

  const std::vector<uint8_t> b = testing::ReadFileBytes(path);
  ASSERT_GE(b.size(), 24u);
  EXPECT_EQ(Get(b, 0, 4, true), 0xA1B2C3D4u);
  EXPECT_EQ(Get(b, 20, 4, true), 1u);  // Ethernet
  // Source port, flags, sequence and acknowledgement (relative to the two
  // initial numbers) and payload length of each frame: handshake, data (the
  // long payload in two segments), the close, nothing after it.
  struct Expected {
    uint32_t port, flags, seq, ack, length;
  } expected[] = {{40000, kTcpSyn, 0, 0, 0},
                  {5000, kTcpSyn | kTcpAck, 0, 1, 0},
                  {40000, kTcpAck, 1, 1, 0},
                  {40000, kTcpPush | kTcpAck, 1, 1, 8},
                  {5000, kTcpPush | kTcpAck, 1, 9, kMaxSegment},
                  {5000, kTcpPush | kTcpAck, 1 + kMaxSegment, 9, 10},
                  {40000, kTcpFin | kTcpAck, 9, 11 + kMaxSegment, 0},
                  {5000, kTcpFin | kTcpAck, 11 + kMaxSegment, 10, 0},
                  {40000, kTcpAck, 10, 12 + kMaxSegment, 0}};
  size_t at = 24, n = 0;
  uint32_t isn[2] = {0, 0};  // client, server
  uint64_t start = 0;
  for (; at + 16 <= b.size() && n < std::size(expected); ++n) {
    const Expected& e = expected[n];
    const size_t tcp = at + 16 + kEthernetHeader + kIpv4Header;
    const uint32_t length = Get(b, at + 8, 4, true);
    EXPECT_EQ(length, kEthernetHeader + kIpv4Header + kTcpHeader + e.length);
    EXPECT_EQ(Get(b, tcp, 2, false), e.port) << n;
    EXPECT_EQ(Get(b, tcp + 2, 2, false), e.port == 5000 ? 40000u : 5000u);
    EXPECT_EQ(b[tcp + 13], e.flags) << n;
    const bool fromClient = e.port == 40000;
    if (n < 2) isn[n] = Get(b, tcp + 4, 4, false);
    EXPECT_EQ(Get(b, tcp + 4, 4, false) - isn[fromClient ? 0 : 1], e.seq) << n;
    if (n > 0) {
      EXPECT_EQ(Get(b, tcp + 8, 4, false) - isn[fromClient ? 1 : 0], e.ack)
          << n;
    }
    const uint64_t micros =
        uint64_t{Get(b, at, 4, true)} * 1000000 + Get(b, at + 4, 4, true);
    if (n == 0) start = micros;
    if (n == 3 || n == 4) {  // the times given
      EXPECT_EQ(micros - start, n == 3 ? 1500u : 2000000u);
    }
    at += 16 + length;
  }
  EXPECT_EQ(n, std::size(expected));
  EXPECT_EQ(at, b.size());
}

TEST(PcapCaptureTest, CommandLineTakesTheFileAndRefusesAnUnwritableOne) {
  CommandLine line;
  std::string error;
  ASSERT_TRUE(
      ParseCommandLine({"--pcap", "run.pcap", "--port", "0"}, line, error))
      << error;
  EXPECT_EQ(line.options.pcapPath, "run.pcap");
  EXPECT_FALSE(ParseCommandLine({"--pcap"}, line, error));
  EXPECT_EQ(error, "option --pcap needs a value");
  EXPECT_FALSE(ParseCommandLine({"--pcap="}, line, error));
  EXPECT_NE(HelpText().find("--pcap FILE"), std::string::npos);

  // The program ends with status 1, before it listens, when it cannot write
  // the file.
  testing::TempDir dir;
  const std::string unwritable = (dir.path() / "no" / "run.pcap").string();
  const testing::ProcessResult r = testing::RunProcess(
      READERSIM_BIN, {"--port", "0", "--pcap", unwritable}, 30000);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "readersim: cannot write the capture " + unwritable + "\n");
}

}  // namespace
}  // namespace modflash::sim
