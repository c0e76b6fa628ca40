// The capture file readersim writes: read back byte by byte, independently
// of any capture tool.

#include "tools/readersim/pcap_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tools/readersim/command_line.h"

namespace modflash::sim {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Le32(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 |
         static_cast<uint32_t>(b[at + 3]) << 24;
}
uint32_t Be16(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) << 8 | b[at + 1];
}
uint32_t Be32(const Bytes& b, size_t at) {
  return Be16(b, at) << 16 | Be16(b, at + 2);
}

// The folded ones' complement sum; 0xFFFF over data with a right checksum.
uint32_t OnesSum(const Bytes& b, size_t from, size_t length, uint32_t sum) {
  for (size_t i = 0; i < length; i += 2) {
    const uint32_t low = i + 1 < length ? b[from + i + 1] : 0u;
    sum += static_cast<uint32_t>(b[from + i]) << 8 | low;
  }
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum;
}

struct Frame {
  uint64_t micros;
  uint16_t srcPort, dstPort;
  uint32_t seq, ack;
  uint8_t flags;
  Bytes payload;
  bool checksumsRight;
};

std::vector<Frame> ReadCapture(const Bytes& file) {
  std::vector<Frame> frames;
  for (size_t at = 24; at + 16 <= file.size();) {
    const uint32_t length = Le32(file, at + 8);
    EXPECT_EQ(length, Le32(file, at + 12));
    const Bytes f(file.begin() + static_cast<long>(at) + 16,
                  file.begin() + static_cast<long>(at + 16 + length));
    Frame frame;
    frame.micros = uint64_t{Le32(file, at)} * 1000000 + Le32(file, at + 4);
    EXPECT_EQ(Be16(f, 12), 0x0800u);
    const size_t ip = 14, tcp = 34;
    const uint32_t ipLength = Be16(f, ip + 2);
    EXPECT_EQ(ipLength, length - 14);
    frame.srcPort = static_cast<uint16_t>(Be16(f, tcp));
    frame.dstPort = static_cast<uint16_t>(Be16(f, tcp + 2));
    frame.seq = Be32(f, tcp + 4);
    frame.ack = Be32(f, tcp + 8);
    frame.flags = f[tcp + 13];
    frame.payload.assign(f.begin() + 54, f.end());
    uint32_t pseudo = OnesSum(f, ip + 12, 8, 6 + (ipLength - 20));
    frame.checksumsRight = OnesSum(f, ip, 20, 0) == 0xFFFF &&
                           OnesSum(f, tcp, ipLength - 20, pseudo) == 0xFFFF;
    frames.push_back(frame);
    at += 16 + length;
  }
  return frames;
}

TEST(PcapCaptureTest, ConnectionReadsBackWithConsistentNumbersAndChecksums) {
  testing::TempDir dir;
  const std::string path = (dir.path() / "c.pcap").string();
  PcapFile file;
  ASSERT_TRUE(file.Open(path));
  const TcpEndpoint client{0x7F000001, 40000};
  const TcpEndpoint server{0x7F000001, 5000};
  TcpCapture capture(file, client, server, 1);
  const WallClock::time_point t0 = WallClock::now();
  capture.Opened(t0);
  const Bytes request = {0xB9, 0x9B, 0x00, 0x08, 0x38, 0x30, 0x0D, 0x0A};
  const Bytes odd = {1, 2, 3};  // an odd length exercises the checksum pad
  capture.FromClient(t0 + std::chrono::microseconds(1500), request.data(),
                     request.size());
  capture.FromServer(t0 + std::chrono::seconds(2), odd.data(), odd.size());
  capture.FromServer(t0 + std::chrono::seconds(2), odd.data(), 1);
  capture.ClientClosed(t0 + std::chrono::seconds(3));
  capture.FromClient(t0 + std::chrono::seconds(4), odd.data(), odd.size());

  const Bytes bytes = testing::ReadFileBytes(path);
  ASSERT_GE(bytes.size(), 24u);
  EXPECT_EQ(Le32(bytes, 0), 0xA1B2C3D4u);
  EXPECT_EQ(Le32(bytes, 20), 1u);  // Ethernet
  const std::vector<Frame> frames = ReadCapture(bytes);
  // Handshake, three data segments, the close; nothing after the close.
  ASSERT_EQ(frames.size(), 9u);
  const uint8_t expectedFlags[] = {kTcpSyn,
                                   kTcpSyn | kTcpAck,
                                   kTcpAck,
                                   kTcpPush | kTcpAck,
                                   kTcpPush | kTcpAck,
                                   kTcpPush | kTcpAck,
                                   kTcpFin | kTcpAck,
                                   kTcpFin | kTcpAck,
                                   kTcpAck};
  const uint16_t expectedSource[] = {40000, 5000,  40000, 40000, 5000,
                                     5000,  40000, 5000,  40000};
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].flags, expectedFlags[i]) << i;
    EXPECT_EQ(frames[i].srcPort, expectedSource[i]) << i;
    EXPECT_EQ(frames[i].dstPort, expectedSource[i] == 5000 ? 40000 : 5000);
    EXPECT_TRUE(frames[i].checksumsRight) << i;
  }
  const Frame& syn = frames[0];
  const Frame& synAck = frames[1];
  EXPECT_EQ(syn.srcPort, 40000);
  EXPECT_EQ(syn.dstPort, 5000);
  EXPECT_EQ(synAck.srcPort, 5000);
  EXPECT_EQ(synAck.ack, syn.seq + 1);
  // Every segment starts where the sender's last one ended (SYN and FIN
  // count one) and acknowledges all the other side has sent.
  EXPECT_EQ(frames[3].seq, syn.seq + 1);
  EXPECT_EQ(frames[3].ack, synAck.seq + 1);
  EXPECT_EQ(frames[3].payload, request);
  EXPECT_EQ(frames[4].seq, synAck.seq + 1);
  EXPECT_EQ(frames[4].ack, syn.seq + 1 + 8);
  EXPECT_EQ(frames[4].payload, odd);
  EXPECT_EQ(frames[5].seq, synAck.seq + 1 + 3);
  EXPECT_EQ(frames[6].seq, syn.seq + 1 + 8);
  EXPECT_EQ(frames[6].ack, synAck.seq + 1 + 4);
  EXPECT_EQ(frames[7].seq, synAck.seq + 1 + 4);
  EXPECT_EQ(frames[7].ack, syn.seq + 1 + 8 + 1);
  EXPECT_EQ(frames[8].ack, synAck.seq + 1 + 4 + 1);
  // Times as given, to the microsecond.
  EXPECT_EQ(frames[3].micros - frames[0].micros, 1500u);
  EXPECT_EQ(frames[4].micros - frames[0].micros, 2000000u);
}

TEST(PcapCaptureTest, LongPayloadIsSplitAndUnwritableFileRefused) {
  testing::TempDir dir;
  PcapFile bad;
  EXPECT_FALSE(bad.Open((dir.path() / "missing" / "c.pcap").string()));

  const std::string path = (dir.path() / "c.pcap").string();
  PcapFile file;
  ASSERT_TRUE(file.Open(path));
  TcpCapture capture(file, TcpEndpoint{0x7F000001, 40001},
                     TcpEndpoint{0x7F000001, 5000}, 2);
  const Bytes big(kMaxSegment + 10, 0x5A);
  capture.FromServer(WallClock::now(), big.data(), big.size());
  capture.ServerClosed(WallClock::now());
  const std::vector<Frame> frames = ReadCapture(testing::ReadFileBytes(path));
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].payload.size(), kMaxSegment);
  EXPECT_EQ(frames[1].payload.size(), 10u);
  EXPECT_EQ(frames[1].seq, frames[0].seq + kMaxSegment);
  EXPECT_TRUE(frames[0].checksumsRight && frames[1].checksumsRight);
  EXPECT_EQ(frames[2].flags, kTcpFin | kTcpAck);
  EXPECT_EQ(frames[2].seq, frames[1].seq + 10);
}

TEST(PcapCaptureTest, CommandLineTakesTheFileAndRefusesAnUnwritableOne) {
  CommandLine line;
  std::string error;
  ASSERT_TRUE(
      ParseCommandLine({"--pcap", "run.pcap", "--port", "0"}, line, error))
      << error;
  EXPECT_EQ(line.options.pcapPath, "run.pcap");
  line = CommandLine{};
  EXPECT_TRUE(ParseCommandLine({"--pcap=x.pcap"}, line, error));
  EXPECT_EQ(line.options.pcapPath, "x.pcap");
  EXPECT_FALSE(ParseCommandLine({"--pcap"}, line, error));
  EXPECT_EQ(error, "option --pcap needs a value");
  EXPECT_FALSE(ParseCommandLine({"--pcap="}, line, error));
  EXPECT_NE(HelpText().find("--pcap FILE"), std::string::npos);

  // The program ends with status 1 before it listens when it cannot write
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
