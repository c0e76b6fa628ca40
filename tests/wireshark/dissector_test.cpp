// The Wireshark dissector (tools/wireshark/modflash.lua) run by tshark over
// captures that readersim writes: whole runs of the modflash program, the
// reader-side faults, and a hand-built capture with bad check bytes and
// CRCs. Skipped where tshark is not installed (and in the Windows builds).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link/socket_layer.h"
#include "protocol/crc16.h"
#include "protocol/update_controller.h"
#include "tests/support/capture.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tools/readersim/module_model.h"
#include "tools/readersim/pcap_capture.h"
#include "tools/readersim/reader_message.h"
#include "tools/readersim/simulator.h"

namespace modflash::testing {
namespace {

constexpr uint32_t kWarning = 0x600000;  // tshark's expert severities
constexpr uint32_t kError = 0x800000;

// The fields each decoded frame is reduced to, in this order.
const std::vector<std::string> kFields = {
    "frame.number",         "_ws.col.Protocol",      "_ws.col.Info",
    "modflash.pkt.type",    "modflash.address",      "modflash.test",
    "modflash.crc.status",  "modflash.check.status", "modflash.status",
    "modflash.status.name", "modflash.request",      "modflash.version",
    "modflash.baud.rate",   "modflash.answer.type",  "_ws.expert.message",
    "_ws.expert.severity",  "_ws.malformed",         "_ws.lua.error",
    "modflash.length"};

/// One frame: each field's values, several when a frame holds several.
using Row = std::map<std::string, std::vector<std::string>>;

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.emplace_back();
  return parts;
}

struct Decoded {
  std::vector<Row> rows;
  std::string err;
  int status = -1;

  size_t Count(const std::string& field, const std::string& value) const {
    size_t n = 0;
    for (const Row& row : rows) {
      for (const std::string& v : row.at(field)) n += v == value ? 1u : 0u;
    }
    return n;
  }
  /// Every value of `field`, frame by frame.
  std::vector<std::string> All(const std::string& field) const {
    std::vector<std::string> values;
    for (const Row& row : rows) {
      const auto& v = row.at(field);
      values.insert(values.end(), v.begin(), v.end());
    }
    return values;
  }
  /// "frame: message" of every expert item of at least `severity`.
  std::vector<std::string> Experts(uint32_t severity) const {
    std::vector<std::string> found;
    for (const Row& row : rows) {
      const auto& messages = row.at("_ws.expert.message");
      const auto& levels = row.at("_ws.expert.severity");
      for (size_t i = 0; i < messages.size() && i < levels.size(); ++i) {
        if (std::strtoul(levels[i].c_str(), nullptr, 10) >= severity) {
          found.push_back(row.at("frame.number")[0] + ": " + messages[i]);
        }
      }
    }
    return found;
  }
  /// The Info texts of the frames that the dissector decoded.
  std::vector<std::string> Infos() const {
    std::vector<std::string> infos;
    for (const Row& row : rows) {
      if (row.at("_ws.col.Protocol")[0] == "modflash") {
        infos.push_back(row.at("_ws.col.Info")[0]);
      }
    }
    return infos;
  }
};

bool TsharkInstalled() {
  const std::string tshark = TSHARK_BIN;
  return !tshark.empty() && std::filesystem::exists(tshark);
}

/// Runs tshark with the dissector over `capture`; `decodeArgs` tell it
/// where the reader is.
Decoded Decode(const std::string& capture,
               const std::vector<std::string>& decodeArgs) {
  std::vector<std::string> args = {
      "-n",          "-X",           std::string("lua_script:") + DISSECTOR_LUA,
      "-r",          capture,        "-T",
      "fields",      "-E",           "occurrence=a",
      "-E",          "aggregator=|", "-E",
      "separator=/t"};
  args.insert(args.end(), decodeArgs.begin(), decodeArgs.end());
  for (const std::string& field : kFields) {
    args.push_back("-e");
    args.push_back(field);
  }
  const ProcessResult r = RunProcess(TSHARK_BIN, args, 300000);
  Decoded d;
  d.status = r.status;
  // tshark warns when it runs as root; that line is not the dissector's.
  for (const std::string& line : Split(r.err, '\n')) {
    if (line.find("Running as user") == std::string::npos && !line.empty()) {
      d.err += line + "\n";
    }
  }
  for (const std::string& line : Split(r.out, '\n')) {
    if (line.empty()) continue;
    const std::vector<std::string> columns = Split(line, '\t');
    Row row;
    for (size_t i = 0; i < kFields.size(); ++i) {
      const std::string column = i < columns.size() ? columns[i] : "";
      row[kFields[i]] =
          column.empty() ? std::vector<std::string>{} : Split(column, '|');
    }
    if (row["frame.number"].empty()) row["frame.number"] = {"?"};
    if (row["_ws.col.Protocol"].empty()) row["_ws.col.Protocol"] = {""};
    if (row["_ws.col.Info"].empty()) row["_ws.col.Info"] = {""};
    d.rows.push_back(row);
  }
  return d;
}

std::string Hex16(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

std::string PortArg(uint16_t port) {
  return "modflash.port:" + std::to_string(port);
}

// What every capture must show: tshark ran, no Lua error, nothing at error
// level, and the malformed-packet mark only on `malformed` (frame numbers).
void ExpectCleanDecode(const Decoded& d,
                       const std::vector<std::string>& malformed = {}) {
  EXPECT_EQ(d.status, 0);
  EXPECT_EQ(d.err, "");
  EXPECT_EQ(d.Count("_ws.lua.error", "1"), 0u);
  std::vector<std::string> marked;
  for (const Row& row : d.rows) {
    if (!row.at("_ws.malformed").empty()) {
      marked.push_back(row.at("frame.number")[0]);
    }
  }
  EXPECT_EQ(marked, malformed);
  EXPECT_EQ(d.Experts(kError), std::vector<std::string>{});
  EXPECT_FALSE(d.rows.empty());
}

class DissectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TsharkInstalled()) {
      GTEST_SKIP() << "tshark is not installed here (" << TSHARK_BIN
                   << "); the dissector tests need it";
    }
    image_ = MakeImage(1, 2, 3);
    imagePath_ = dir_.Write("image.bin", image_);
    capture_ = (dir_.path() / "run.pcap").string();
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
  int Run(const std::string& kind) { return Run(kind, options_, port_); }

  // Everything a successful run shows, programming or dry run.
  void ExpectWholeTransfer(const Decoded& d, const std::string& test,
                           const std::string& completeStatus) {
    const std::vector<std::string> addresses = d.All("modflash.address");
    ASSERT_EQ(addresses.size(), 6400u);
    EXPECT_EQ(addresses.front(), "0x00404000");
    EXPECT_EQ(addresses.back(), "0x00435fe0");
    EXPECT_EQ(d.Count("modflash.pkt.type", "3"), 6400u);
    EXPECT_EQ(d.Count("modflash.test", test), 6400u);
    // Every module frame's CRC is good (update packets and commands), and
    // every check byte.
    EXPECT_EQ(d.Count("modflash.crc.status", "0"), 0u);
    EXPECT_GE(d.Count("modflash.crc.status", "1"), 6402u + 4);
    EXPECT_EQ(d.Count("modflash.check.status", "0"), 0u);
    // Each code packet answered by status 0x00, tied to its request.
    EXPECT_EQ(d.Count("modflash.status.name", "accepted"), 6400u);
    EXPECT_EQ(d.Count("modflash.status", "0x00"), 6400u);
    EXPECT_EQ(d.Count("modflash.status", "0x0e"), 1u);
    EXPECT_EQ(d.Count("modflash.status", completeStatus), 1u);
    std::vector<std::string> infos = d.Infos();
    EXPECT_NE(std::find(infos.begin(), infos.end(),
                        "SendCode 0x00404020 test=" + test +
                            " → Status 0x00 accepted"),
              infos.end());
    EXPECT_NE(std::find(infos.begin(), infos.end(),
                        "SendCode 0x00435FE0 test=" + test +
                            " → Status 0x00 accepted"),
              infos.end());
  }

  TempDir dir_;
  std::vector<uint8_t> image_;
  std::string imagePath_;
  std::string capture_;
  std::ostringstream simLog_;
  std::ostringstream byteLog_;
  sim::SimOptions options_;
  uint16_t port_ = 0;
};

TEST_F(DissectorTest, ProgrammingRunCapturedByTheSimulatorProgram) {
  // The readersim program itself, with --pcap; the first connection is the
  // readiness probe.
  uint16_t port = 0;
  net::SocketLayerSession session;
  {
    const net::SocketHandle s = net::ListenLoopback(0, &port);
    ASSERT_NE(s, net::kInvalidSocket);
    net::Close(s);
  }
  ProcessResult sim;
  std::thread simThread([&] {
    sim = RunProcess(READERSIM_BIN,
                     {"--port", std::to_string(port), "--connections", "2",
                      "--version", "1.1.0", "--pcap", capture_});
  });
  bool ready = false;
  for (int i = 0; i < 200 && !ready; ++i) {
    const net::SocketHandle probe = net::OpenTcp();
    ready = net::ConnectIPv4(probe, "127.0.0.1", port) == 0;
    net::Close(probe);
    if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const ProcessResult r =
      ready ? RunProcess(MODFLASH_BIN, {"--program", imagePath_, "127.0.0.1",
                                        std::to_string(port)})
            : ProcessResult{};
  simThread.join();
  ASSERT_TRUE(ready) << sim.out << sim.err;
  ASSERT_EQ(r.status, 0) << r.out;

  const Decoded d = Decode(capture_, {"-o", PortArg(port)});
  ExpectCleanDecode(d);
  ExpectWholeTransfer(d, "0", "0x09");
  EXPECT_EQ(d.Count("modflash.status.name", "programmed"), 1u);
  EXPECT_EQ(d.Experts(kWarning), std::vector<std::string>{});
  // Versions before and after, the rate found and the two rates set.
  const std::vector<std::string> versions = d.All("modflash.version");
  ASSERT_GE(versions.size(), 3u);
  EXPECT_EQ(versions.front(), "V1.1.0");
  EXPECT_EQ(versions.back(), "V1.2.3");
  EXPECT_EQ(d.All("modflash.baud.rate"),
            (std::vector<std::string>{"921600", "115200", "921600"}));
  const std::vector<std::string> infos = d.Infos();
  ASSERT_GE(infos.size(), 4u);
  EXPECT_EQ(infos[0], "VersionRead");
  EXPECT_EQ(infos[1], "VersionRead → Version V1.1.0");
  EXPECT_EQ(infos[3], "GetBaudRate → BaudRate 921600 bit/s");
  EXPECT_EQ(infos.back(), "SetBaudRate 921600 bit/s → rate set");
}

TEST_F(DissectorTest, DryRunAndByteByByteRunDecodeTheSameMessages) {
  // The same dry run twice, side by side: answers whole, and one byte per
  // segment (some 180000 segments, the longer of the two).
  sim::SimOptions byteOptions = options_;
  byteOptions.pcapPath = (dir_.path() / "bytes.pcap").string();
  byteOptions.log = &byteLog_;
  byteOptions.byteByByte = true;
  byteOptions.byteGapMs = 0;
  Decoded bytes;
  std::thread byteRun([&] {
    uint16_t port = 0;
    EXPECT_EQ(Run("--dryrun", byteOptions, port), 0);
    // Decoded through Decode As rather than the port preference.
    bytes = Decode(byteOptions.pcapPath,
                   {"-d", "tcp.port==" + std::to_string(port) + ",modflash"});
  });
  const int status = Run("--dryrun");
  const Decoded whole =
      status == 0 ? Decode(capture_, {"-o", PortArg(port_)}) : Decoded{};
  byteRun.join();
  ASSERT_EQ(status, 0);

  ExpectCleanDecode(whole);
  ExpectWholeTransfer(whole, "1", "0x0a");
  EXPECT_EQ(whole.Count("modflash.status.name", "dry-run complete"), 1u);
  EXPECT_EQ(whole.Experts(kWarning), std::vector<std::string>{});

  ExpectCleanDecode(bytes);
  EXPECT_GT(bytes.rows.size(), whole.rows.size() * 5);
  EXPECT_EQ(bytes.Experts(kWarning), std::vector<std::string>{});
  EXPECT_EQ(bytes.Infos().size(), whole.Infos().size());
  EXPECT_TRUE(bytes.Infos() == whole.Infos());
}

TEST_F(DissectorTest, SliceRefusedFourTimesShowsFourWarnings) {
  options_.refuseAddress = 0x405000;
  options_.refuseTimes = 4;
  ASSERT_EQ(Run("--program"), 0);
  const Decoded d = Decode(capture_, {"-o", PortArg(port_)});
  ExpectCleanDecode(d);
  EXPECT_EQ(d.Count("modflash.status.name", "refused"), 4u);
  EXPECT_EQ(d.Count("modflash.status", "0x03"), 4u);
  EXPECT_EQ(d.Count("modflash.address", "0x00405000"), 5u);
  std::vector<std::string> warnings;
  size_t refusedInfos = 0;
  for (const Row& row : d.rows) {
    for (const std::string& m : row.at("_ws.expert.message")) {
      if (m != "Slice 0x00405000 refused with status 0x03") continue;
      warnings.push_back(m);
      EXPECT_EQ(row.at("_ws.col.Info")[0],
                "SendCode 0x00405000 test=0 → Status 0x03 refused");
      ++refusedInfos;
    }
  }
  EXPECT_EQ(warnings.size(), 4u);
  EXPECT_EQ(d.Experts(kWarning).size(), 4u);
  EXPECT_EQ(d.Count("modflash.status.name", "accepted"), 6400u);
}

// The real update controller over its link; the simulator breaks the first
// answer, and the reads after it show the stream still in step.
class FaultCaptureTest : public DissectorTest {
 protected:
  Decoded CaptureVersionReads() {
    sim::Simulator simulator(options_);
    EXPECT_TRUE(simulator.Start());
    {
      StdoutCapture quiet;
      UpdateController controller("127.0.0.1", simulator.port());
      uint8_t major = 0, minor = 0, patch = 0;
      for (int i = 0; i < 3; ++i) {
        controller.GetFirmwareVersion(major, minor, patch);
      }
      controller.CloseLink();
      quiet.Take();
    }
    simulator.WaitForConnections(1, 5000);
    simulator.Stop();
    return Decode(capture_, {"-o", PortArg(simulator.port())});
  }
};

TEST_F(FaultCaptureTest, LengthBelowEightIsWarnedAndSkipped) {
  options_.lowLengthFrame = 1;
  options_.lowLengthValue = 6;
  const Decoded d = CaptureVersionReads();
  // Handshake, then request and answer: the answer is frame 5.
  ExpectCleanDecode(d, {"5"});
  EXPECT_EQ(d.Experts(kWarning),
            std::vector<std::string>{"5: Length 6 is below 8"});
  const std::vector<std::string> infos = d.Infos();
  EXPECT_EQ(infos, (std::vector<std::string>{
                       "VersionRead", "Length 6 below 8", "VersionRead",
                       "VersionRead → Version V1.1.0", "VersionRead",
                       "VersionRead → Version V1.1.0"}));
}

TEST_F(FaultCaptureTest, OversizeAnswerIsWarned) {
  options_.oversizeFrame = 2;
  options_.oversizeLength = 100;
  const Decoded d = CaptureVersionReads();
  ExpectCleanDecode(d);
  const std::vector<std::string> warnings = d.Experts(kWarning);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("Payload of 100 bytes; the programmer reads 64"),
            std::string::npos);
  EXPECT_EQ(d.Count("modflash.length", "108"), 1u);
  EXPECT_EQ(d.Count("modflash.version", "V1.1.0"), 2u);
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
  auto command = [](uint8_t code) {
    std::vector<uint8_t> frame = {0x43, 0x49, 0x54, 0x4D, 0xFF, code};
    frame.resize(14, 0);
    frame.resize(16);
    sim::StoreCrc(frame.data(), 14);
    return frame;
  };
  std::vector<uint8_t> packet = {0x55, 0x49, 0x54, 0x4D, 0xFF, 0x0D,
                                 0xF0, 0x03, 0x00, 0x0B, 0x00, 0x00,
                                 0x00, 0x00, 0x50, 0x40, 0x00};
  packet.resize(25, 0x00);
  packet.resize(57, 0x11);  // the code bytes
  packet.resize(64, 0x00);
  sim::StoreCrc(packet.data(), 62);

  c.Opened(t);
  // Frame 4: GetBaudRate, two junk bytes, SetBaudRate with a bad check byte.
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
  std::vector<uint8_t> frame = command(0x60);
  frame[15] ^= 0x80;
  bytes = message(sim::kTypeModuleData, frame);
  c.FromClient(t, bytes.data(), bytes.size());
  // Frame 8: the answer, announced with a high length byte of 1.
  bytes = message(sim::kTypeModuleData, sim::CommandAnswer(0x60, 0, 2, 0, 13));
  bytes[2] = 0x01;
  bytes[bytes.size() - 3] ^= 0x01;  // the check byte covers the length
  c.FromServer(t, bytes.data(), bytes.size());
  // Frame 9: a good code packet, then one with a bad CRC.
  bytes = message(sim::kTypeModuleData, packet);
  packet[20] ^= 0xFF;
  const std::vector<uint8_t> badCrc = message(sim::kTypeModuleData, packet);
  bytes.insert(bytes.end(), badCrc.begin(), badCrc.end());
  c.FromClient(t, bytes.data(), bytes.size());
  c.ClientClosed(t);

  const Decoded d = Decode(capture_, {});  // the default port
  ExpectCleanDecode(d);
  EXPECT_EQ(d.Experts(kWarning),
            (std::vector<std::string>{
                "4: Bad check byte 0x32, should be 0x33",
                "7: Bad CRC-16 0x79d0, should be 0xf9d0",
                "9: Bad CRC-16 " + Hex16(packet[62] | packet[63] << 8) +
                    ", should be " +
                    Hex16(~CalcCrc16(packet.data(), 62 * 8) & 0xFFFF)}));
  EXPECT_EQ(d.Infos(), (std::vector<std::string>{
                           "GetBaudRate, SetBaudRate 115200 bit/s",
                           "GetBaudRate → BaudRate 921600 bit/s", "VersionRead",
                           "VersionRead → Version V2.0.13",
                           "SendCode 0x00405000 test=0, SendCode "
                           "0x00405000 test=0"}));
  EXPECT_EQ(d.Count("modflash.check.status", "0"), 1u);
  EXPECT_EQ(d.Count("modflash.crc.status", "0"), 2u);
  EXPECT_EQ(d.Count("modflash.crc.status", "1"), 1u);
}

}  // namespace
}  // namespace modflash::testing
