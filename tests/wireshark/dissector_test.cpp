// The Wireshark dissector (tools/wireshark/modflash.lua) run by tshark over
// captures that readersim writes: whole runs of the modflash program, the
// reader-side faults, and a hand-built capture with bad check bytes and
// CRCs. Skipped where tshark is not installed (and in the Windows builds).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link/ethernet_update_comm.h"
#include "net/loopback_server.h"
#include "protocol/crc16.h"
#include "protocol/update_controller.h"
#include "tests/support/capture.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tools/readersim/module_model.h"
#include "tools/readersim/pcap_capture.h"
#include "tools/readersim/reader_message.h"
#include "tools/readersim/simulator.h"

namespace modflash::testing {
namespace {

using Strings = std::vector<std::string>;

// The fields each decoded frame is reduced to, in this order.
enum Field {
  kFrame,
  kProtocol,
  kInfo,
  kPacketType,
  kAddress,
  kTest,
  kCrcStatus,
  kCheckStatus,
  kStatus,
  kStatusName,
  kVersion,
  kRate,
  kLength,
  kExpert,
  kSeverity,
  kMalformed,
  kLuaError,
  kFieldCount
};
const char* const kFieldNames[kFieldCount] = {
    "frame.number",         "_ws.col.Protocol",      "_ws.col.Info",
    "modflash.pkt.type",    "modflash.address",      "modflash.test",
    "modflash.crc.status",  "modflash.check.status", "modflash.status",
    "modflash.status.name", "modflash.version",      "modflash.baud.rate",
    "modflash.length",      "_ws.expert.message",    "_ws.expert.severity",
    "_ws.malformed",        "_ws.lua.error"};
constexpr unsigned long kWarning = 0x600000;  // tshark's expert severities
constexpr unsigned long kError = 0x800000;

Strings Split(const std::string& text, char separator) {
  Strings parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

/// tshark's account of a capture: per frame, each field's values (several
/// when a frame holds several messages).
struct Decoded {
  std::vector<std::vector<Strings>> rows;
  std::string err;
  int status = -1;

  Strings All(Field f) const {
    Strings values;
    for (const auto& row : rows) {
      values.insert(values.end(), row[f].begin(), row[f].end());
    }
    return values;
  }
  size_t Count(Field f, const std::string& value) const {
    const Strings values = All(f);
    return static_cast<size_t>(std::count(values.begin(), values.end(), value));
  }
  /// "frame: message" of each expert item of at least `severity`.
  Strings Experts(unsigned long severity) const {
    Strings found;
    for (const auto& row : rows) {
      for (size_t i = 0; i < row[kExpert].size() && i < row[kSeverity].size();
           ++i) {
        if (std::strtoul(row[kSeverity][i].c_str(), nullptr, 10) >= severity) {
          found.push_back(row[kFrame][0] + ": " + row[kExpert][i]);
        }
      }
    }
    return found;
  }
  /// The Info texts of the frames the dissector decoded.
  Strings Infos() const {
    Strings infos;
    for (const auto& row : rows) {
      if (row[kProtocol] == Strings{"modflash"}) infos.push_back(row[kInfo][0]);
    }
    return infos;
  }
};

/// Runs tshark with the dissector (and the IP and TCP checksums checked)
/// over `capture`; `where` says where the reader is.
Decoded Decode(const std::string& capture, const Strings& where) {
  Strings args = {"-n",
                  "-X",
                  std::string("lua_script:") + DISSECTOR_LUA,
                  "-r",
                  capture,
                  "-o",
                  "ip.check_checksum:TRUE",
                  "-o",
                  "tcp.check_checksum:TRUE",
                  "-T",
                  "fields",
                  "-E",
                  "occurrence=a",
                  "-E",
                  "aggregator=|"};
  args.insert(args.end(), where.begin(), where.end());
  for (const char* field : kFieldNames) {
    args.push_back("-e");
    args.push_back(field);
  }
  const ProcessResult r = RunProcess(TSHARK_BIN, args, 300000);
  Decoded d;
  d.status = r.status;
  for (const std::string& line : Split(r.err, '\n')) {
    // tshark warns when it runs as root; that line is not the dissector's.
    if (line.find("Running as user") == std::string::npos) d.err += line;
  }
  for (const std::string& line : Split(r.out, '\n')) {
    std::vector<Strings> row(kFieldCount);
    const Strings columns = Split(line, '\t');
    for (size_t i = 0; i < columns.size() && i < kFieldCount; ++i) {
      if (!columns[i].empty()) row[i] = Split(columns[i], '|');
    }
    for (Field f : {kFrame, kProtocol, kInfo}) {
      if (row[f].empty()) row[f] = {""};
    }
    d.rows.push_back(row);
  }
  return d;
}

Strings PortPref(uint16_t port) {
  return {"-o", "modflash.port:" + std::to_string(port)};
}

// What every capture must show: tshark ran, no Lua error, nothing at error
// level (bad IP or TCP checksums included), and the malformed-packet mark
// on the `malformed` frames only.
void ExpectCleanDecode(const Decoded& d, const Strings& malformed = {}) {
  EXPECT_EQ(d.status, 0);
  EXPECT_EQ(d.err, "");
  EXPECT_FALSE(d.rows.empty());
  EXPECT_EQ(d.Count(kLuaError, "1"), 0u);
  EXPECT_EQ(d.Experts(kError), Strings{});
  Strings marked;
  for (const auto& row : d.rows) {
    if (!row[kMalformed].empty()) marked.push_back(row[kFrame][0]);
  }
  EXPECT_EQ(marked, malformed);
}

class DissectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string tshark = TSHARK_BIN;
    if (tshark.empty() || !std::filesystem::exists(tshark)) {
      GTEST_SKIP() << "tshark is not installed here; the dissector tests "
                      "need it";
    }
    imagePath_ = dir_.Write("image.bin", MakeImage(1, 2, 3));
    options_.port = 0;
    options_.version = sim::Version{1, 1, 0};
    options_.log = &simLog_;
    options_.pcapPath = capture_;
  }

  // The modflash program against a simulator with `options`, captured;
  // the exit status, and the simulator's port in `port`.
  int Run(const std::string& kind, const sim::SimOptions& options,
          uint16_t& port) {
    sim::Simulator simulator(options);
    EXPECT_TRUE(simulator.Start());
    port = simulator.port();
    const ProcessResult r = RunProcess(
        MODFLASH_BIN, {kind, imagePath_, "127.0.0.1", std::to_string(port)});
    simulator.WaitForConnections(1, 20000);
    simulator.Stop();
    return r.status;
  }

  // What a successful run shows, programming (test flag 0) or dry run (1):
  // 6400 code packets with good CRCs, each accepted with status 0x00.
  static void ExpectWholeTransfer(const Decoded& d, const std::string& test,
                                  const std::string& completeStatus) {
    const Strings addresses = d.All(kAddress);
    ASSERT_EQ(addresses.size(), 6400u);
    EXPECT_EQ(addresses.front(), "0x00404000");
    EXPECT_EQ(addresses.back(), "0x00435fe0");
    EXPECT_EQ(d.Count(kPacketType, "3"), 6400u);
    EXPECT_EQ(d.Count(kTest, test), 6400u);
    EXPECT_EQ(d.Count(kCrcStatus, "0") + d.Count(kCheckStatus, "0"), 0u);
    EXPECT_GE(d.Count(kCrcStatus, "1"), 6402u + 4);  // packets and commands
    EXPECT_EQ(d.Count(kStatusName, "accepted"), 6400u);
    EXPECT_EQ(d.Count(kStatus, "0x00"), 6400u);
    EXPECT_EQ(d.Count(kStatus, "0x0e"), 1u);
    EXPECT_EQ(d.Count(kStatus, completeStatus), 1u);
    const Strings infos = d.Infos();
    EXPECT_EQ(std::count(infos.begin(), infos.end(),
                         "SendCode 0x00404020 test=" + test +
                             " → Status 0x00 accepted"),
              1);
    EXPECT_EQ(d.Experts(kWarning), Strings{});
  }

  TempDir dir_;
  std::string imagePath_;
  std::string capture_ = (dir_.path() / "run.pcap").string();
  std::ostringstream simLog_;
  sim::SimOptions options_;
  uint16_t port_ = 0;
};

TEST_F(DissectorTest, ProgrammingRunCapturedByTheSimulatorProgram) {
  // The readersim program itself; its first connection is the readiness
  // probe below.
  const uint16_t port = FreeLoopbackPort();
  ASSERT_NE(port, 0);
  std::thread simThread([&] {
    RunProcess(READERSIM_BIN, {"--port", std::to_string(port), "--connections",
                               "2", "--version", "1.1.0", "--pcap", capture_});
  });
  const bool ready = AwaitListener(port);
  const int status =
      ready ? RunProcess(MODFLASH_BIN, {"--program", imagePath_, "127.0.0.1",
                                        std::to_string(port)})
                  .status
            : -1;
  simThread.join();
  ASSERT_EQ(status, 0);

  const Decoded d = Decode(capture_, PortPref(port));
  ExpectCleanDecode(d);
  ExpectWholeTransfer(d, "0", "0x09");
  EXPECT_EQ(d.Count(kStatusName, "programmed"), 1u);
  const Strings versions = d.All(kVersion);
  ASSERT_GE(versions.size(), 3u);
  EXPECT_EQ(versions.front(), "V1.1.0");
  EXPECT_EQ(versions.back(), "V1.2.3");
  EXPECT_EQ(d.All(kRate), (Strings{"921600", "115200", "921600"}));
  const Strings infos = d.Infos();
  ASSERT_GE(infos.size(), 4u);
  EXPECT_EQ(infos[1], "VersionRead → Version V1.1.0");
  EXPECT_EQ(infos[3], "GetBaudRate → BaudRate 921600 bit/s");
  EXPECT_EQ(infos.back(), "SetBaudRate 921600 bit/s → rate set");
}

TEST_F(DissectorTest, DryRunAndByteByByteRunDecodeTheSameMessages) {
  // The same dry run twice, side by side: answers whole, and one byte per
  // segment (some 180000 segments, the longer of the two).
  sim::SimOptions byteOptions = options_;
  byteOptions.pcapPath = (dir_.path() / "bytes.pcap").string();
  std::ostringstream byteLog;
  byteOptions.log = &byteLog;
  byteOptions.byteByByte = true;
  byteOptions.byteGapMs = 0;
  Decoded bytes;
  std::thread byteRun([&] {
    uint16_t port = 0;
    EXPECT_EQ(Run("--dryrun", byteOptions, port), 0);
    // Decode As rather than the port preference.
    bytes = Decode(byteOptions.pcapPath,
                   {"-d", "tcp.port==" + std::to_string(port) + ",modflash"});
  });
  const int status = Run("--dryrun", options_, port_);
  const Decoded whole = Decode(capture_, PortPref(port_));
  byteRun.join();
  ASSERT_EQ(status, 0);

  ExpectCleanDecode(whole);
  ExpectWholeTransfer(whole, "1", "0x0a");
  EXPECT_EQ(whole.Count(kStatusName, "dry-run complete"), 1u);
  ExpectCleanDecode(bytes);
  EXPECT_EQ(bytes.Experts(kWarning), Strings{});
  EXPECT_GT(bytes.rows.size(), whole.rows.size() * 5);
  EXPECT_TRUE(bytes.Infos() == whole.Infos());
}

TEST_F(DissectorTest, SliceRefusedFourTimesShowsFourWarnings) {
  options_.refuseAddress = 0x405000;
  options_.refuseTimes = 4;
  ASSERT_EQ(Run("--program", options_, port_), 0);
  const Decoded d = Decode(capture_, PortPref(port_));
  ExpectCleanDecode(d);
  EXPECT_EQ(d.Count(kAddress, "0x00405000"), 5u);
  EXPECT_EQ(d.Count(kStatus, "0x03"), 4u);
  EXPECT_EQ(d.Count(kStatusName, "accepted"), 6400u);
  size_t refusals = 0;
  for (const auto& row : d.rows) {
    if (row[kExpert] == Strings{"Slice 0x00405000 refused with status 0x03"}) {
      EXPECT_EQ(row[kInfo][0],
                "SendCode 0x00405000 test=0 → Status 0x03 refused");
      EXPECT_EQ(row[kStatusName], Strings{"refused"});
      ++refusals;
    }
  }
  EXPECT_EQ(refusals, 4u);
  EXPECT_EQ(d.Experts(kWarning).size(), 4u);
}

TEST_F(DissectorTest, LengthBelowEightAndOversizeAnswerAreWarned) {
  // The real update controller over its link reads the version three times:
  // the first answer has length byte 6, the second 100 payload bytes, the
  // third is whole again.
  options_.lowLengthFrame = 1;
  options_.oversizeFrame = 2;
  sim::Simulator simulator(options_);
  ASSERT_TRUE(simulator.Start());
  {
    StdoutCapture quiet;
    UpdateController controller(
        std::make_unique<EthernetUpdateComm>("127.0.0.1", simulator.port()));
    uint8_t major = 0, minor = 0, patch = 0;
    for (int i = 0; i < 3; ++i)
      controller.GetFirmwareVersion(major, minor, patch);
    controller.CloseLink();
  }
  simulator.WaitForConnections(1, 5000);
  simulator.Stop();
  const Decoded d = Decode(capture_, PortPref(simulator.port()));
  // Handshake in frames 1 to 3, then request and answer in turn.
  ExpectCleanDecode(d, {"5"});
  EXPECT_EQ(d.Experts(kWarning),
            (Strings{"5: Length 6 is below 8",
                     "7: Payload of 100 bytes; the programmer reads 64"}));
  EXPECT_EQ(d.All(kLength), (Strings{"24", "6", "24", "108", "24", "24"}));
  EXPECT_EQ(d.Infos(),
            (Strings{"VersionRead", "Length 6 below 8", "VersionRead",
                     "VersionRead → Reader_ModuleData (100 bytes)",
                     "VersionRead", "VersionRead → Version V1.1.0"}));
}

// A capture put together here: the reader at its default port 5000, bad
// check bytes and CRCs among good messages, several messages in one segment,
// bytes before a message start and a message split over two segments.
TEST_F(DissectorTest, HandBuiltCaptureRaisesExactlyTheBadChecksAndCrcs) {
  sim::PcapFile file;
  ASSERT_TRUE(file.Open(capture_));
  sim::TcpCapture c(file, sim::TcpEndpoint{0x7F000001, 50123},
                    sim::TcpEndpoint{0x7F000001, 5000}, 1);
  const auto t = sim::WallClock::now();
  auto message = [](uint8_t type, const std::vector<uint8_t>& payload) {
    return sim::BuildReaderMessage(type, payload.data(), payload.size());
  };
  std::vector<uint8_t> command = {0x43, 0x49, 0x54, 0x4D, 0xFF, 0x60};
  command.resize(16, 0);
  sim::StoreCrc(command.data(), 14);
  std::vector<uint8_t> packet = {0x55, 0x49, 0x54, 0x4D, 0xFF, 0x0D,
                                 0xF0, 0x03, 0x00, 0x0B, 0x00, 0x00,
                                 0x00, 0x00, 0x50, 0x40, 0x00};
  packet.resize(25, 0x00);
  packet.resize(57, 0x11);  // the code bytes
  packet.resize(64, 0x00);
  sim::StoreCrc(packet.data(), 62);

  c.Opened(t);
  // Frame 4: GetBaudRate, two stray bytes, SetBaudRate with a bad check byte.
  std::vector<uint8_t> bytes = message(sim::kTypeGetBaudRate, {});
  bytes.push_back(0x00);
  bytes.push_back(0x42);
  std::vector<uint8_t> badCheck = message(sim::kTypeSetBaudRate, {0x00});
  badCheck[6] ^= 0x01;
  bytes.insert(bytes.end(), badCheck.begin(), badCheck.end());
  c.FromClient(t, bytes.data(), bytes.size());
  // Frames 5 and 6: the answer in two pieces.
  bytes = message(sim::kTypeBaudRate, {0x03});
  c.FromServer(t, bytes.data(), 3);
  c.FromServer(t, bytes.data() + 3, bytes.size() - 3);
  // Frame 7: a version read with a bad CRC.
  command[15] ^= 0x80;
  bytes = message(sim::kTypeModuleData, command);
  c.FromClient(t, bytes.data(), bytes.size());
  // Frame 8: the answer, announced with a high length byte of 1.
  bytes = message(sim::kTypeModuleData, sim::CommandAnswer(0x60, 0, 2, 0, 13));
  bytes[2] = 0x01;
  bytes[bytes.size() - 3] ^= 0x01;  // the check byte covers the length
  c.FromServer(t, bytes.data(), bytes.size());
  // Frame 9: a good code packet, then one with a bad CRC.
  bytes = message(sim::kTypeModuleData, packet);
  packet[30] ^= 0xFF;
  const std::vector<uint8_t> badCrc = message(sim::kTypeModuleData, packet);
  bytes.insert(bytes.end(), badCrc.begin(), badCrc.end());
  c.FromClient(t, bytes.data(), bytes.size());
  c.ClientClosed(t);

  char crcs[64];
  std::snprintf(
      crcs, sizeof crcs, "0x%02x%02x, should be 0x%04x", packet[63], packet[62],
      static_cast<unsigned>(~CalcCrc16(packet.data(), 62 * 8) & 0xFFFF));
  const Decoded d = Decode(capture_, {});  // the default port
  ExpectCleanDecode(d);
  EXPECT_EQ(d.Experts(kWarning),
            (Strings{"4: Bad check byte 0x32, should be 0x33",
                     "7: Bad CRC-16 0x79d0, should be 0xf9d0",
                     std::string("9: Bad CRC-16 ") + crcs}));
  EXPECT_EQ(
      d.Infos(),
      (Strings{"GetBaudRate, SetBaudRate 115200 bit/s",
               "GetBaudRate → BaudRate 921600 bit/s", "VersionRead",
               "VersionRead → Version V2.0.13",
               "SendCode 0x00405000 test=0, SendCode 0x00405000 test=0"}));
  EXPECT_EQ(d.All(kCheckStatus), (Strings{"1", "0", "1", "1", "1", "1", "1"}));
  EXPECT_EQ(d.All(kCrcStatus), (Strings{"0", "1", "0"}));
}

}  // namespace
}  // namespace modflash::testing
