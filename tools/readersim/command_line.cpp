#include "tools/readersim/command_line.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>

#include "tools/readersim/reader_message.h"
#include "tools/readersim/simulator.h"

namespace modflash::sim {
namespace {

// Parses a whole decimal or 0x-hexadecimal number no larger than `max`.
bool ParseNumber(const std::string& text, uint32_t max, uint32_t& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || parsed > max) {
    return false;
  }
  value = static_cast<uint32_t>(parsed);
  return true;
}

bool ParseVersion(const std::string& text, Version& version) {
  uint32_t parts[3];
  size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    const size_t dot = text.find('.', start);
    if ((i < 2) != (dot != std::string::npos)) return false;
    const std::string part =
        text.substr(start, i < 2 ? dot - start : std::string::npos);
    if (part.empty() ||
        part.find_first_not_of("0123456789") != std::string::npos ||
        !ParseNumber(part, 255, parts[i])) {
      return false;
    }
    start = dot + 1;
  }
  version.major = static_cast<uint8_t>(parts[0]);
  version.minor = static_cast<uint8_t>(parts[1]);
  version.patch = static_cast<uint8_t>(parts[2]);
  return true;
}

// Splits "A[:B[:C]]" into up to `max` fields.
std::vector<std::string> SplitFields(const std::string& text) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t colon = text.find(':', start);
    fields.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) return fields;
    start = colon + 1;
  }
}

// The longest gap of --duplicate-answer and --extra-status.
constexpr uint32_t kMaxGapMs = 10000;

// "N[:GAP]": a module frame and a gap in ms; `gap` keeps its default
// without one.
bool ParseFrameAndGap(const std::string& text, uint32_t& frame, uint32_t& gap) {
  const std::vector<std::string> f = SplitFields(text);
  uint32_t n = 0;
  uint32_t g = gap;
  if (f.size() > 2 || !ParseNumber(f[0], 0xFFFFFFFFu, n) ||
      (f.size() == 2 && !ParseNumber(f[1], kMaxGapMs, g))) {
    return false;
  }
  frame = n;
  gap = g;
  return true;
}

std::vector<uint8_t> ReadFile(const std::string& path, bool& ok) {
  std::ifstream in(path, std::ios::binary);
  ok = static_cast<bool>(in);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                              std::istreambuf_iterator<char>());
}

}  // namespace

std::string HelpText() {
  return "readersim " MODFLASH_VERSION
         ", reader and RF module simulator\n\n"
         R"(Usage: readersim [options]
       readersim make-image FILE --version X.Y.Z [--seed N]

A stand-in for the network reader and the RF module behind it. Listens on
127.0.0.1 and serves one connection after another until it is stopped.
Numbers may be given in decimal or as 0x hexadecimal.

General:
  --port N               TCP port (default 5000); 0 picks a free port below
                         16536 and prints it on a line of its own:
                         "readersim: listening on 127.0.0.1:PORT"
  --connections N        stop after N connections (default 0: never)
  --rate R               the module's initial serial rate: 115200, 230400,
                         460800 or 921600 (default 921600)
  --version X.Y.Z        the version in the module's flash (default 1.0.0)
  --restart-ms N         set all three restart times below to N ms
  --prepare-restart-ms N silence after command 0x55 (default 100; the
                         programmer sends Update_EnterUpdateMode 500 ms
                         after it)
  --rate-restart-ms N    restart after a rate change; the reader confirms
                         the change once it is over (default 200; the
                         programmer waits at most 5000 ms for that)
  --complete-restart-ms N
                         restart after Update_Complete (default 2000; the
                         programmer polls the version from 8 s after it)
  --line-timing          pace each module exchange by the time its request
                         and answer bytes take on the serial line at the
                         module's rate (10 bits a byte)
  --trace                print every message both ways, decoded, with the
                         seconds since start
  --flash-out FILE       write the 204800-byte flash after each connection
  --expect IMAGE         say in each connection's summary whether the
                         flash equals IMAGE
  --help                 this text

Faults (counts are per connection; frames and packets count from 1):
  --refuse-slice ADDR[:TIMES[:STATUS]]
                         answer Update_SendCode for flash address ADDR with
                         STATUS (default 0x03) TIMES times (default 1)
  --short-status N[:LEN] cut the Status answer to update packet N (the
                         enter packet is 1) to LEN bytes (default 8, < 18)
  --enter-preamble LETTERS
                         answer Update_EnterUpdateMode first with one
                         Begin/FirmwareUpdateCfg/End answer per letter
                         B, F or E, e.g. BFE
  --enter-status S       status of the enter answer (default 0x0E)
  --complete-status S    status of the Update_Complete answer (default
                         0x09, or 0x0A when the update had the test flag)
  --version-after X.Y.Z  version reported after the update's restart
  --silent-polls N       leave the first N version commands after the
                         update's restart unanswered
  --ignore-type T        never answer reader messages of type T (repeatable)
  --fail-rate-change     answer every rate change with 0x3B and 0
  --close-after N        close the connection once N update packets have
                         been answered
  --byte-by-byte         send every answer one byte at a time, 1 ms apart
  --low-length N[:L]     answer module frame N with a message whose length
                         byte is L (4 to 7, default 6), L bytes long
  --oversize N[:SIZE]    pad the answer to module frame N with zeros to
                         SIZE payload bytes (65 to 247, default 100)

Robustness:
  --idle-timeout-ms N    close a connection on which nothing arrived for N ms
                         (default 30000; 0: never)

Capture:
  --pcap FILE            write every connection's TCP payloads, both ways,
                         to FILE as a libpcap capture (made-up Ethernet, IPv4
                         and TCP headers; real ports and times), for
                         Wireshark or tshark with tools/wireshark/modflash.lua

Faults for the chaos soak (N: the module frame, counted from 1 per
connection; a run's frames are the AutoBaud probe, the version polls, the
prepare command, Update_EnterUpdateMode, the 6400 slices, Update_Complete and
the polls after it):
  --drop-answer N        do not send the answer to module frame N
  --delay-answer N:MS    send the answer to module frame N MS ms late (0 to
                         15000; the programmer waits 5000 ms); the module is
                         busy meanwhile, later requests wait
  --corrupt-answer N[:I] invert payload byte I (default 17, the status of an
                         update answer) of the answer to module frame N;
                         N:check inverts its check byte instead
  --close-at N           close the connection when module frame N arrives,
                         without answering it
  --reset-at N           the same, with a reset instead of a close
  --drip N[:GAP]         send the answer to module frame N one byte at a
                         time, GAP ms apart (default 1000)
  --endless-entry        answer Update_EnterUpdateMode with Begin,
                         FirmwareUpdateCfg and End answers, 10 ms apart, and
                         never a Status, until the client sends or closes
  --junk-before N[:COUNT]
                         send COUNT bytes (default 16) that hold no message
                         start just before the answer to module frame N
  --double-answer N      send the answer to module frame N twice in one
                         segment
  --duplicate-answer N[:GAP]
                         send the answer to module frame N, then the same
                         answer again GAP ms later (default 2)
  --extra-status N[:GAP] GAP ms (default 2) after the answer to module frame
                         N, send a Status answer 00 to Update_SendCode that
                         nothing asked for
  --lose-request N       module frame N is lost on the way to the module:
                         never handled, never answered
  --answer-latency MS    answer every module frame MS ms (0 to 1000) after
                         it arrives, one frame at a time: a frame that comes
                         while an earlier one is pending starts its MS once
                         the earlier answer went out; adds to --line-timing

Exit status: 0, 1 when the port cannot be bound or a file not be written,
2 for a bad command line.
)";
}

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& line,
                      std::string& error) {
  SimOptions& o = line.options;
  size_t i = 0;
  bool versionGiven = false;
  if (!args.empty() && args[0] == "make-image") {
    line.action = CommandLine::Action::kMakeImage;
    i = 1;
  }
  for (; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool hasValue = false;
    const size_t eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      hasValue = true;
    }
    auto takeValue = [&]() {
      if (hasValue) return true;
      if (i + 1 >= args.size()) {
        error = "option " + name + " needs a value";
        return false;
      }
      value = args[++i];
      hasValue = true;
      return true;
    };
    auto number = [&](uint32_t max, uint32_t& out) {
      if (!takeValue()) return false;
      if (!ParseNumber(value, max, out)) {
        error = "option " + name + ": '" + value +
                "' is not a number from 0 to " + std::to_string(max);
        return false;
      }
      return true;
    };
    auto badValue = [&](const std::string& what) {
      error = "option " + name + ": '" + value + "' " + what;
      return false;
    };
    uint32_t n = 0;
    bool flag = false;  // options without a value must not get one
    if (name == "--help" || name == "-h") {
      line.action = CommandLine::Action::kHelp;
      return true;
    } else if (line.action == CommandLine::Action::kMakeImage) {
      if (name == "--version") {
        if (!takeValue()) return false;
        if (!ParseVersion(value, line.imageVersion)) {
          return badValue("is not a version X.Y.Z (each 0 to 255)");
        }
        versionGiven = true;
      } else if (name == "--seed") {
        if (!number(0xFFFFFFFFu, line.imageSeed)) return false;
      } else if (name.rfind("-", 0) != 0 && line.imagePath.empty()) {
        line.imagePath = name;
      } else {
        error = "make-image: unexpected argument '" + args[i] + "'";
        return false;
      }
      continue;
    } else if (name == "--port") {
      if (!number(65535, n)) return false;
      o.port = static_cast<uint16_t>(n);
    } else if (name == "--connections") {
      if (!number(0xFFFFFFFFu, o.maxConnections)) return false;
    } else if (name == "--rate") {
      if (!number(0x7FFFFFFF, n)) return false;
      if (RateCode(static_cast<int32_t>(n)) < 0) {
        return badValue("is not 115200, 230400, 460800 or 921600");
      }
      o.rate = static_cast<int32_t>(n);
    } else if (name == "--version") {
      if (!takeValue()) return false;
      if (!ParseVersion(value, o.version)) {
        return badValue("is not a version X.Y.Z (each 0 to 255)");
      }
    } else if (name == "--restart-ms") {
      if (!number(60000, n)) return false;
      o.prepareRestartMs = o.rateRestartMs = o.completeRestartMs = n;
    } else if (name == "--prepare-restart-ms") {
      if (!number(60000, o.prepareRestartMs)) return false;
    } else if (name == "--rate-restart-ms") {
      if (!number(60000, o.rateRestartMs)) return false;
    } else if (name == "--complete-restart-ms") {
      if (!number(60000, o.completeRestartMs)) return false;
    } else if (name == "--line-timing") {
      o.lineTiming = flag = true;
    } else if (name == "--trace") {
      o.trace = flag = true;
    } else if (name == "--flash-out") {
      if (!takeValue()) return false;
      o.flashOut = value;
    } else if (name == "--expect") {
      if (!takeValue()) return false;
      line.expectPath = value;
    } else if (name == "--refuse-slice") {
      if (!takeValue()) return false;
      const std::vector<std::string> f = SplitFields(value);
      uint32_t times = 1, status = 0x03;
      if (f.size() > 3 || !ParseNumber(f[0], 0xFFFFFFFFu, o.refuseAddress) ||
          (f.size() > 1 && !ParseNumber(f[1], 0xFFFFFFFFu, times)) ||
          (f.size() > 2 && !ParseNumber(f[2], 255, status))) {
        return badValue("is not ADDR[:TIMES[:STATUS]]");
      }
      o.refuseTimes = times;
      o.refuseStatus = static_cast<uint8_t>(status);
    } else if (name == "--short-status") {
      if (!takeValue()) return false;
      const std::vector<std::string> f = SplitFields(value);
      uint32_t length = 8;
      if (f.size() > 2 ||
          !ParseNumber(f[0], 0xFFFFFFFFu, o.shortStatusPacket) ||
          (f.size() > 1 && (!ParseNumber(f[1], 17, length) || length == 0))) {
        return badValue("is not N[:LEN] with LEN from 1 to 17");
      }
      o.shortStatusLength = static_cast<uint8_t>(length);
    } else if (name == "--enter-preamble") {
      if (!takeValue()) return false;
      if (value.find_first_not_of("BFE") != std::string::npos) {
        return badValue("may hold only the letters B, F and E");
      }
      o.enterPreamble = value;
    } else if (name == "--enter-status") {
      if (!number(255, n)) return false;
      o.enterStatus = static_cast<uint8_t>(n);
    } else if (name == "--complete-status") {
      if (!number(255, n)) return false;
      o.completeStatusSet = true;
      o.completeStatus = static_cast<uint8_t>(n);
    } else if (name == "--version-after") {
      if (!takeValue()) return false;
      if (!ParseVersion(value, o.versionAfter)) {
        return badValue("is not a version X.Y.Z (each 0 to 255)");
      }
      o.versionAfterSet = true;
    } else if (name == "--silent-polls") {
      if (!number(0xFFFFFFFFu, o.silentPolls)) return false;
    } else if (name == "--ignore-type") {
      if (!number(255, n)) return false;
      o.ignoreTypes.push_back(static_cast<uint8_t>(n));
    } else if (name == "--fail-rate-change") {
      o.failRateChange = flag = true;
    } else if (name == "--close-after") {
      if (!number(0xFFFFFFFFu, o.closeAfterPackets)) return false;
    } else if (name == "--byte-by-byte") {
      o.byteByByte = flag = true;
    } else if (name == "--low-length") {
      if (!takeValue()) return false;
      const std::vector<std::string> f = SplitFields(value);
      uint32_t length = 6;
      if (f.size() > 2 || !ParseNumber(f[0], 0xFFFFFFFFu, o.lowLengthFrame) ||
          (f.size() > 1 && (!ParseNumber(f[1], 7, length) || length < 4))) {
        return badValue("is not N[:L] with L from 4 to 7");
      }
      o.lowLengthValue = static_cast<uint8_t>(length);
    } else if (name == "--oversize") {
      if (!takeValue()) return false;
      const std::vector<std::string> f = SplitFields(value);
      uint32_t size = 100;
      if (f.size() > 2 || !ParseNumber(f[0], 0xFFFFFFFFu, o.oversizeFrame) ||
          (f.size() > 1 && (!ParseNumber(f[1], 247, size) || size < 65))) {
        return badValue("is not N[:SIZE] with SIZE from 65 to 247");
      }
      o.oversizeLength = static_cast<uint16_t>(size);
      // Robustness against misbehaving clients.
    } else if (name == "--idle-timeout-ms") {
      if (!number(0xFFFFFFFFu, o.idleTimeoutMs)) return false;
      // Capture.
    } else if (name == "--pcap") {
      if (!takeValue()) return false;
      if (value.empty()) return badValue("is not a file name");
      o.pcapPath = value;
      // Faults for the chaos soak.
    } else if (name == "--drop-answer") {
      if (!number(0xFFFFFFFFu, o.dropAnswerFrame)) return false;
    } else if (name == "--delay-answer") {
      if (!takeValue()) return false;
      const std::vector<std::string> f = SplitFields(value);
      if (f.size() != 2 ||
          !ParseNumber(f[0], 0xFFFFFFFFu, o.delayAnswerFrame) ||
          !ParseNumber(f[1], 15000, o.delayAnswerMs)) {
        return badValue("is not N:MS with MS from 0 to 15000");
      }
    } else if (name == "--corrupt-answer") {
      if (!takeValue()) return false;
      const std::vector<std::string> f = SplitFields(value);
      o.corruptCheck = f.size() == 2 && f[1] == "check";
      if (f.size() > 2 || !ParseNumber(f[0], 0xFFFFFFFFu, o.corruptFrame) ||
          (f.size() == 2 && !o.corruptCheck &&
           !ParseNumber(f[1], 1023, o.corruptIndex))) {
        return badValue("is not N[:I] or N:check");
      }
    } else if (name == "--close-at") {
      if (!number(0xFFFFFFFFu, o.closeAtFrame)) return false;
    } else if (name == "--reset-at") {
      if (!number(0xFFFFFFFFu, o.resetAtFrame)) return false;
    } else if (name == "--drip") {
      if (!takeValue()) return false;
      const std::vector<std::string> f = SplitFields(value);
      if (f.size() > 2 || !ParseNumber(f[0], 0xFFFFFFFFu, o.dripFrame) ||
          (f.size() == 2 && !ParseNumber(f[1], 60000, o.dripGapMs))) {
        return badValue("is not N[:GAP] with GAP from 0 to 60000");
      }
    } else if (name == "--endless-entry") {
      o.endlessEntry = flag = true;
    } else if (name == "--junk-before") {
      if (!takeValue()) return false;
      const std::vector<std::string> f = SplitFields(value);
      if (f.size() > 2 || !ParseNumber(f[0], 0xFFFFFFFFu, o.junkFrame) ||
          (f.size() == 2 &&
           (!ParseNumber(f[1], 4096, o.junkCount) || o.junkCount == 0))) {
        return badValue("is not N[:COUNT] with COUNT from 1 to 4096");
      }
    } else if (name == "--double-answer") {
      if (!number(0xFFFFFFFFu, o.doubleFrame)) return false;
    } else if (name == "--answer-latency") {
      if (!number(1000, o.answerLatencyMs)) return false;
    } else if (name == "--duplicate-answer" || name == "--extra-status") {
      if (!takeValue()) return false;
      const bool duplicate = name == "--duplicate-answer";
      if (!ParseFrameAndGap(
              value, duplicate ? o.duplicateFrame : o.extraStatusFrame,
              duplicate ? o.duplicateGapMs : o.extraStatusGapMs)) {
        return badValue("is not N[:GAP] with GAP from 0 to " +
                        std::to_string(kMaxGapMs));
      }
    } else if (name == "--lose-request") {
      if (!number(0xFFFFFFFFu, o.loseRequestFrame)) return false;
    } else {
      error = "unknown option '" + args[i] + "'";
      return false;
    }
    if (flag && hasValue && eq != std::string::npos) {
      error = "option " + name + " takes no value";
      return false;
    }
  }
  if (line.action == CommandLine::Action::kMakeImage) {
    if (line.imagePath.empty()) {
      error = "make-image needs a FILE";
      return false;
    }
    if (!versionGiven) {
      error = "make-image needs --version X.Y.Z";
      return false;
    }
  }
  return true;
}

std::vector<uint8_t> MakeImage(Version version, uint32_t seed) {
  std::vector<uint8_t> image(kFlashSize);
  uint32_t state = seed == 0 ? 0x9E3779B9u : seed;  // xorshift32, never 0
  for (uint8_t& b : image) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    b = static_cast<uint8_t>(state >> 24);
  }
  image[kSignatureOffset] = 'X';
  image[kSignatureOffset + 1] = '3';
  image[kSignatureOffset + 2] = '0';
  image[kSignatureOffset + 3] = 'M';
  image[kPatchOffset] = version.patch;
  image[kMinorOffset] = version.minor;
  image[kMajorOffset] = version.major;
  return image;
}

int RunReaderSim(const std::vector<std::string>& args) {
  CommandLine line;
  std::string error;
  if (!ParseCommandLine(args, line, error)) {
    std::cerr << "readersim: " << error << " (see readersim --help)\n";
    return 2;
  }
  if (line.action == CommandLine::Action::kHelp) {
    std::cout << HelpText();
    return 0;
  }
  if (line.action == CommandLine::Action::kMakeImage) {
    const std::vector<uint8_t> image =
        MakeImage(line.imageVersion, line.imageSeed);
    std::ofstream out(line.imagePath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) {
      std::cout << "readersim: cannot write " << line.imagePath << "\n";
      return 1;
    }
    std::cout << "readersim: wrote " << line.imagePath << " (" << image.size()
              << " bytes, version " << int{line.imageVersion.major} << "."
              << int{line.imageVersion.minor} << "."
              << int{line.imageVersion.patch} << ")\n";
    return 0;
  }
  if (!line.expectPath.empty()) {
    bool ok = false;
    line.options.expectImage = ReadFile(line.expectPath, ok);
    if (!ok || line.options.expectImage.size() != kFlashSize) {
      std::cerr << "readersim: --expect " << line.expectPath
                << " is not a readable " << kFlashSize << "-byte image\n";
      return 2;
    }
  }
  Simulator sim(line.options);
  if (!sim.Start()) return 1;
  sim.Wait();
  return 0;
}

}  // namespace modflash::sim
