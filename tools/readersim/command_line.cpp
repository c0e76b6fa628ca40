#include "tools/readersim/command_line.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <sstream>
#include <utility>

#include "contract/port.h"
#include "tools/readersim/fleet_sim.h"
#include "tools/readersim/option_values.h"
#include "tools/readersim/simulator.h"

namespace modflash::sim {
namespace {

// What is wrong with an option's value, or "" when it was taken.
using ValueParser = std::function<std::string(const std::string&)>;

// readersim's options on CLI11, in groups. Each option is read by the rules
// of option_values.h the moment CLI11 meets it, in the order of the command
// line (a later option overrides an earlier one, --restart-ms included), and
// the first bad value ends the parse with a line that names the option and
// the value as given.
class OptionTable {
 public:
  explicit OptionTable(CLI::App& app) : app_(app) {}

  CLI::App* Group(const std::string& heading, const std::string& note = "") {
    return app_.add_option_group(heading, note);
  }
  // An option with a value, in the help as "NAME VALUE_NAME".
  void Value(CLI::App* group, const std::string& name,
             const std::string& valueName, const std::string& help,
             ValueParser parse) {
    group
        ->add_option(
            name,
            [this, name, parse](const CLI::results_t& results) {
              const std::string value =
                  results.empty() ? std::string() : results.back();
              const std::string what = parse(value);
              if (!what.empty()) {
                error_ = "option " + name + ": '" + value + "' " + what;
              }
              return what.empty();
            },
            help)
        ->type_name(valueName)
        ->trigger_on_parse();
  }
  void Number(CLI::App* group, const std::string& name,
              const std::string& valueName, const std::string& help,
              uint32_t max, uint32_t& out) {
    Value(group, name, valueName, help, [max, &out](const std::string& v) {
      return ParseNumber(v, max, out);
    });
  }
  void Text(CLI::App* group, const std::string& name,
            const std::string& valueName, const std::string& help,
            std::string& out) {
    Value(group, name, valueName, help, [&out](const std::string& v) {
      out = v;
      return std::string();
    });
  }
  // A switch; "--NAME=VALUE" is refused.
  void Flag(CLI::App* group, const std::string& name, const std::string& help,
            bool& out) {
    group->add_flag(name, out, help)->disable_flag_override();
  }
  // The message of the value that stopped the parse, if one did.
  const std::string& error() const { return error_; }

 private:
  CLI::App& app_;
  std::string error_;
};

void AddGeneral(OptionTable& t, CommandLine& line) {
  SimOptions& o = line.options;
  CLI::App* g = t.Group("General");
  t.Value(g, "--port", "N",
          "TCP port (default 5000); 0 picks a free port below 16536 and "
          "prints it on a line of its own: \"readersim: listening on "
          "127.0.0.1:PORT\"",
          [&o](const std::string& v) {
            int32_t n = 0;
            if (!output::ParsePort(v, n, 0)) {
              return "is not a number from 0 to " +
                     std::to_string(output::kHighestPort);
            }
            o.port = static_cast<uint16_t>(n);
            return std::string();
          });
  t.Number(g, "--connections", "N",
           "stop after N connections (default 0: never)", 0xFFFFFFFFu,
           o.maxConnections);
  t.Value(g, "--rate", "R",
          "the module's initial serial rate: 115200, 230400, 460800 or "
          "921600 (default 921600)",
          [&o](const std::string& v) { return ParseRate(v, o.rate); });
  t.Value(g, "--version", "X.Y.Z",
          "the version in the module's flash (default 1.0.0)",
          [&o](const std::string& v) { return ParseVersion(v, o.version); });
  t.Number(g, "--idle-timeout-ms", "N",
           "close a connection on which nothing arrived for N ms (default "
           "30000; 0: never)",
           0xFFFFFFFFu, o.idleTimeoutMs);
  // Listed here; ParseCommandLine looks for it before anything else.
  g->add_flag_callback(
      "-h,--help", [&line] { line.action = CommandLine::Action::kHelp; },
      "this text");
}

void AddTiming(OptionTable& t, SimOptions& o) {
  CLI::App* g = t.Group("Timing");
  t.Value(g, "--restart-ms", "N", "set all three restart times below to N ms",
          [&o](const std::string& v) {
            uint32_t n = 0;
            std::string what = ParseNumber(v, 60000, n);
            if (what.empty()) {
              o.prepareRestartMs = o.rateRestartMs = o.completeRestartMs = n;
            }
            return what;
          });
  t.Number(g, "--prepare-restart-ms", "N",
           "silence after command 0x55 (default 100; the programmer sends "
           "Update_EnterUpdateMode 500 ms after it)",
           60000, o.prepareRestartMs);
  t.Number(g, "--rate-restart-ms", "N",
           "restart after a rate change; the reader confirms the change once "
           "it is over (default 200; the programmer waits at most 5000 ms for "
           "that)",
           60000, o.rateRestartMs);
  t.Number(g, "--complete-restart-ms", "N",
           "restart after Update_Complete (default 2000; the programmer polls "
           "the version from 8 s after it)",
           60000, o.completeRestartMs);
  t.Flag(g, "--line-timing",
         "pace each module exchange by the time its request and answer bytes "
         "take on the serial line at the module's rate (10 bits a byte)",
         o.lineTiming);
  t.Number(g, "--answer-latency", "MS",
           "answer every module frame MS ms (0 to 1000) after it arrives, one "
           "frame at a time: a frame that comes while an earlier one is "
           "pending starts its MS once the earlier answer went out; adds to "
           "--line-timing",
           1000, o.answerLatencyMs);
}

void AddOutput(OptionTable& t, CommandLine& line) {
  SimOptions& o = line.options;
  CLI::App* g = t.Group("Output");
  t.Flag(g, "--trace",
         "print every message both ways, decoded, with the seconds since "
         "start",
         o.trace);
  t.Text(g, "--flash-out", "FILE",
         "write the 204800-byte flash after each connection", o.flashOut);
  t.Text(g, "--expect", "IMAGE",
         "say in each connection's summary whether the flash equals IMAGE",
         line.expectPath);
  t.Value(g, "--pcap", "FILE",
          "write every connection's TCP payloads, both ways, to FILE as a "
          "libpcap capture (made-up Ethernet, IPv4 and TCP headers; real "
          "ports and times), for Wireshark or tshark with "
          "tools/wireshark/modflash.lua",
          [&o](const std::string& v) {
            o.pcapPath = v;
            return v.empty() ? "is not a file name" : "";
          });
  t.Value(g, "--ready-file", "FILE",
          "once every reader listens (and the inventory is written), write "
          "FILE whole, one \"127.0.0.1:PORT\" line per reader, for scripts "
          "to wait for; a FILE left from before is removed at start",
          [&line](const std::string& v) {
            line.readyFile = v;
            return v.empty() ? "is not a file name" : "";
          });
}

// Faults of the module's answers.
void AddModuleFaults(OptionTable& t, CLI::App* g, SimOptions& o) {
  t.Value(g, "--refuse-slice", "ADDR[:TIMES[:STATUS]]",
          "answer Update_SendCode for flash address ADDR with STATUS "
          "(default 0x03) TIMES times (default 1)",
          [&o](const std::string& v) { return ParseRefuseSlice(v, o); });
  t.Value(g, "--short-status", "N[:LEN]",
          "cut the Status answer to update packet N (the enter packet is 1) "
          "to LEN bytes (default 8, < 18)",
          [&o](const std::string& v) { return ParseShortStatus(v, o); });
  t.Value(g, "--enter-preamble", "LETTERS",
          "answer Update_EnterUpdateMode first with one "
          "Begin/FirmwareUpdateCfg/End answer per letter B, F or E, e.g. BFE",
          [&o](const std::string& v) {
            if (v.find_first_not_of("BFE") != std::string::npos) {
              return "may hold only the letters B, F and E";
            }
            o.enterPreamble = v;
            return "";
          });
  t.Value(g, "--enter-status", "S", "status of the enter answer (default 0x0E)",
          [&o](const std::string& v) { return ParseByte(v, o.enterStatus); });
  t.Value(g, "--complete-status", "S",
          "status of the Update_Complete answer (default 0x09, or 0x0A when "
          "the update had the test flag)",
          [&o](const std::string& v) {
            o.completeStatusSet = true;
            return ParseByte(v, o.completeStatus);
          });
  t.Value(g, "--version-after", "X.Y.Z",
          "version reported after the update's restart",
          [&o](const std::string& v) {
            o.versionAfterSet = true;
            return ParseVersion(v, o.versionAfter);
          });
  t.Number(g, "--silent-polls", "N",
           "leave the first N version commands after the update's restart "
           "unanswered",
           0xFFFFFFFFu, o.silentPolls);
}

// Faults of the reader itself.
void AddReaderFaults(OptionTable& t, CLI::App* g, SimOptions& o) {
  t.Value(g, "--ignore-type", "T",
          "never answer reader messages of type T (repeatable)",
          [&o](const std::string& v) {
            uint8_t type = 0;
            std::string what = ParseByte(v, type);
            if (what.empty()) o.ignoreTypes.push_back(type);
            return what;
          });
  t.Flag(g, "--fail-rate-change", "answer every rate change with 0x3B and 0",
         o.failRateChange);
  t.Number(g, "--close-after", "N",
           "close the connection once N update packets have been answered",
           0xFFFFFFFFu, o.closeAfterPackets);
  t.Flag(g, "--byte-by-byte",
         "send every answer one byte at a time, 1 ms apart", o.byteByByte);
  t.Value(g, "--low-length", "N[:L]",
          "answer module frame N with a message whose length byte is L (4 to "
          "7, default 6), L bytes long",
          [&o](const std::string& v) { return ParseLowLength(v, o); });
  t.Value(g, "--oversize", "N[:SIZE]",
          "pad the answer to module frame N with zeros to SIZE payload bytes "
          "(65 to 247, default 100)",
          [&o](const std::string& v) { return ParseOversize(v, o); });
}

// Answers out of step with the requests.
void AddOutOfStepFaults(OptionTable& t, CLI::App* g, SimOptions& o) {
  t.Value(g, "--duplicate-answer", "N[:GAP]",
          "send the answer to module frame N, then the same answer again GAP "
          "ms later (default 2)",
          [&o](const std::string& v) {
            return ParseFrameAndGap(v, o.duplicateFrame, o.duplicateGapMs);
          });
  t.Value(g, "--extra-status", "N[:GAP]",
          "GAP ms (default 2) after the answer to module frame N, send a "
          "Status answer 00 to Update_SendCode that nothing asked for",
          [&o](const std::string& v) {
            return ParseFrameAndGap(v, o.extraStatusFrame, o.extraStatusGapMs);
          });
  t.Number(g, "--lose-request", "N",
           "module frame N is lost on the way to the module: never handled, "
           "never answered",
           0xFFFFFFFFu, o.loseRequestFrame);
}

// The faults that the chaos soak draws: answers lost, late, corrupted,
// doubled or out of step, and connections cut.
void AddChaosFaults(OptionTable& t, CLI::App* g, SimOptions& o) {
  t.Number(g, "--drop-answer", "N", "do not send the answer to module frame N",
           0xFFFFFFFFu, o.dropAnswerFrame);
  t.Value(g, "--delay-answer", "N:MS",
          "send the answer to module frame N MS ms late (0 to 15000; the "
          "programmer waits 5000 ms); the module is busy meanwhile, later "
          "requests wait",
          [&o](const std::string& v) { return ParseDelayAnswer(v, o); });
  t.Value(g, "--corrupt-answer", "N[:I]",
          "invert payload byte I (default 17, the status of an update answer) "
          "of the answer to module frame N; N:check inverts its check byte "
          "instead",
          [&o](const std::string& v) { return ParseCorruptAnswer(v, o); });
  t.Number(g, "--close-at", "N",
           "close the connection when module frame N arrives, without "
           "answering it",
           0xFFFFFFFFu, o.closeAtFrame);
  t.Number(g, "--reset-at", "N", "the same, with a reset instead of a close",
           0xFFFFFFFFu, o.resetAtFrame);
  t.Value(g, "--drip", "N[:GAP]",
          "send the answer to module frame N one byte at a time, GAP ms apart "
          "(default 1000)",
          [&o](const std::string& v) { return ParseDrip(v, o); });
  t.Flag(g, "--endless-entry",
         "answer Update_EnterUpdateMode with Begin, FirmwareUpdateCfg and End "
         "answers, 10 ms apart, and never a Status, until the client sends or "
         "closes",
         o.endlessEntry);
  t.Value(g, "--junk-before", "N[:COUNT]",
          "send COUNT bytes (default 16) that hold no message start just "
          "before the answer to module frame N",
          [&o](const std::string& v) { return ParseJunkBefore(v, o); });
  t.Number(g, "--double-answer", "N",
           "send the answer to module frame N twice in one segment",
           0xFFFFFFFFu, o.doubleFrame);
  AddOutOfStepFaults(t, g, o);
}

}  // namespace

namespace {

constexpr char kFaultsNote[] =
    "Counts are per connection. N is a module frame, counted from 1 in each "
    "connection: a run's frames are the AutoBaud probe, the version polls, "
    "the prepare command, Update_EnterUpdateMode, the 6400 slices, "
    "Update_Complete and the polls after it. Update packets count from 1 "
    "too, the enter packet first.";

void AddFleet(OptionTable& t, FleetSimOptions& f) {
  CLI::App* g = t.Group("Fleet rehearsal");
  t.Value(
      g, "--readers", "N",
      "serve N independent readers (1 to " + std::to_string(kMaxReaders) +
          "), each with its own module, flash and faults, on N free "
          "loopback ports; log lines say \"reader K: \"",
      [&f](const std::string& v) { return ParseReaderCount(v, f.readers); });
  t.Text(g, "--inventory-out", "FILE",
         "write their inventory for modflash-fleet, whole, one "
         "\"127.0.0.1:PORT reader-K\" line each",
         f.inventoryOut);
  t.Value(g, "--faulty", "K[,K...]",
          "apply the fault options only to these readers (from 1); without it "
          "every reader gets them",
          [&f](const std::string& v) { return ParseFaulty(v, f); });
  t.Value(g, "--versions", "X.Y.Z[:N],...",
          "the module versions of the readers, in order from reader 1: N "
          "readers each, the last without :N for the readers left; readers "
          "without one keep --version",
          [&f](const std::string& v) { return ParseVersions(v, f); });
}

// Every option of `readersim [options]`, bound to `line`.
void AddAll(OptionTable& t, CommandLine& line) {
  AddGeneral(t, line);
  AddTiming(t, line.options);
  AddOutput(t, line);
  CLI::App* faults = t.Group("Faults", kFaultsNote);
  AddModuleFaults(t, faults, line.options);
  AddReaderFaults(t, faults, line.options);
  AddChaosFaults(t, faults, line.options);
  AddFleet(t, line.fleet);
}

// The first argument that is no option of `app`, as given, or "".
std::string FirstUnknown(const CLI::App& app) {
  const std::vector<std::string> rest = app.remaining();
  return rest.empty() ? std::string() : rest.front();
}

// The line for a parse that CLI11 stopped: the table's message for a bad
// value; CLI11's for a switch given a value (it names the switch) and for an
// option without its value, which CLI11 finds only at the end of the
// arguments.
std::string StoppedLine(const CLI::ParseError& e, const OptionTable& t,
                        const std::vector<std::string>& args) {
  if (!t.error().empty()) return t.error();
  const std::string what = e.what();
  const std::string overridden = " was given a disallowed flag override";
  if (what.size() > overridden.size() &&
      what.compare(what.size() - overridden.size(), std::string::npos,
                   overridden) == 0) {
    return "option --" + what.substr(0, what.size() - overridden.size()) +
           " takes no value";
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr &&
      !args.empty()) {
    return "option " + args.back().substr(0, args.back().find('=')) +
           " needs a value";
  }
  return what;
}

// Runs `app` over `args`. False with `error` set, naming an argument that is
// no option of `app` (`unknown` is its line) if one came first.
bool RunParse(CLI::App& app, const OptionTable& table,
              const std::vector<std::string>& args, const std::string& unknown,
              std::string& error) {
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    const std::string first = FirstUnknown(app);
    error = first.empty() ? StoppedLine(e, table, args)
                          : unknown + "'" + first + "'";
    return false;
  }
  const std::string first = FirstUnknown(app);
  if (!first.empty()) error = unknown + "'" + first + "'";
  return first.empty();
}

// What the fleet options say together, once all are known.
bool CheckFleet(const FleetSimOptions& f, std::string& error) {
  if (f.readers == 0) {
    if (f.faulty.empty() && f.inventoryOut.empty() && f.versions.empty()) {
      return true;
    }
    error = f.versions.empty() ? "--faulty and --inventory-out need --readers N"
                               : "--versions needs --readers N";
    return false;
  }
  uint32_t covered = 0;
  for (const FleetSimOptions::VersionShare& share : f.versions) {
    covered += share.count;
  }
  if (covered > f.readers) {
    error = "option --versions: gives versions to " + std::to_string(covered) +
            " readers, more than the " + std::to_string(f.readers) +
            " of --readers";
    return false;
  }
  for (const uint32_t k : f.faulty) {
    if (k > f.readers) {
      error = "option --faulty: '" + std::to_string(k) +
              "' is not a reader from 1 to " + std::to_string(f.readers);
      return false;
    }
  }
  return true;
}

bool ParseServe(const std::vector<std::string>& args, CommandLine& line,
                std::string& error) {
  CLI::App app{"readersim", "readersim"};
  app.set_help_flag();
  app.allow_extras();
  OptionTable table(app);
  AddAll(table, line);
  return RunParse(app, table, args, "unknown option ", error) &&
         CheckFleet(line.fleet, error);
}

// make-image FILE --version X.Y.Z [--seed N] (`args` without make-image).
bool ParseMakeImage(const std::vector<std::string>& args, CommandLine& line,
                    std::string& error) {
  line.action = CommandLine::Action::kMakeImage;
  CLI::App app{"readersim make-image", "make-image"};
  app.set_help_flag();
  app.allow_extras();
  OptionTable table(app);
  bool versionGiven = false;
  table.Value(&app, "--version", "X.Y.Z", "", [&](const std::string& v) {
    versionGiven = true;
    return ParseVersion(v, line.imageVersion);
  });
  table.Number(&app, "--seed", "N", "", 0xFFFFFFFFu, line.imageSeed);
  app.add_option("FILE", line.imagePath);
  if (!RunParse(app, table, args, "make-image: unexpected argument ", error)) {
    return false;
  }
  if (line.imagePath.empty()) {
    error = "make-image needs a FILE";
  } else if (!versionGiven) {
    error = "make-image needs --version X.Y.Z";
  }
  return error.empty();
}

constexpr size_t kHelpWidth = 79;
constexpr size_t kHelpIndent = 25;

// `text` in words over lines of at most kHelpWidth characters, each line
// after `indent` spaces; the first line goes on after `head` when `head`
// leaves room (padded to the indent), else `head` has a line of its own.
std::string Wrap(const std::string& head, const std::string& text,
                 size_t indent) {
  std::string out;
  std::string line = head;
  if (!head.empty() && head.size() >= indent) {
    out = head + "\n";
    line.clear();
  }
  line.resize(indent, ' ');
  bool empty = true;  // no word on `line` yet
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    if (!empty && line.size() + 1 + word.size() > kHelpWidth) {
      out += line + "\n";
      line.assign(indent, ' ');
      empty = true;
    }
    line += (empty ? "" : " ") + word;
    empty = false;
  }
  return out + line + "\n";
}

// One group of the help: its heading, its note and its options.
std::string GroupHelp(const CLI::App& group) {
  std::string text = "\n" + group.get_group() + ":\n";
  if (!group.get_description().empty()) {
    text += Wrap("", group.get_description(), 2);
  }
  for (const CLI::Option* option : group.get_options()) {
    std::string head = "  " + option->get_name();
    if (!option->get_type_name().empty()) {
      head += " " + option->get_type_name();
    }
    text += Wrap(head, option->get_description(), kHelpIndent);
  }
  return text;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& line,
                      std::string& error) {
  // --help anywhere asks for the help, whatever else the line holds.
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      line.action = CommandLine::Action::kHelp;
      return true;
    }
  }
  if (!args.empty() && args[0] == "make-image") {
    return ParseMakeImage({args.begin() + 1, args.end()}, line, error);
  }
  return ParseServe(args, line, error);
}

std::string HelpText() {
  std::string text = "readersim " MODFLASH_VERSION
                     ", reader and RF module simulator\n\n"
                     "Usage: readersim [options]\n"
                     "       readersim make-image FILE --version X.Y.Z "
                     "[--seed N]\n\n" +
                     Wrap("",
                          "A stand-in for the network reader and the RF "
                          "module behind it. Listens on 127.0.0.1 and serves "
                          "one connection after another until it is stopped. "
                          "Numbers may be given in decimal or as 0x "
                          "hexadecimal.",
                          0);
  CommandLine line;
  CLI::App app{"readersim", "readersim"};
  app.set_help_flag();
  OptionTable table(app);
  AddAll(table, line);
  for (const CLI::App* group : app.get_subcommands({})) {
    text += GroupHelp(*group);
  }
  return text + "\n" +
         Wrap("",
              "With --readers, --flash-out FILE writes FILE-K for reader K "
              "(before the extension), and --port is not used. Each reader "
              "needs two open descriptors (three with --pcap, one more with "
              "--flash-out); the soft limit is raised to the hard one, and a "
              "fleet too big for it is refused (exit status 1).",
              0) +
         "\n" +
         Wrap("",
              "Exit status: 0, 1 when the port cannot be bound or a file not "
              "be written, 2 for a bad command line.",
              0);
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

bool WriteFileWhole(const std::string& path, const std::string& text) {
  const std::string partial = path + ".partial";
  std::ofstream out(partial, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) return false;
  // Windows renames onto no existing file.
  if (std::rename(partial.c_str(), path.c_str()) == 0) return true;
  std::remove(path.c_str());
  return std::rename(partial.c_str(), path.c_str()) == 0;
}

namespace {

int WriteImage(const CommandLine& line) {
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

// Reads the --expect image into the options; false after a line on the
// standard error when it is no image.
bool LoadExpect(CommandLine& line) {
  if (line.expectPath.empty()) return true;
  std::ifstream in(line.expectPath, std::ios::binary);
  if (in) {
    line.options.expectImage.assign(std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>());
  }
  if (!in || line.options.expectImage.size() != kFlashSize) {
    std::cerr << "readersim: --expect " << line.expectPath
              << " is not a readable " << kFlashSize << "-byte image\n";
    return false;
  }
  return true;
}

int ServeOne(const CommandLine& line) {
  Simulator sim(line.options);
  if (!sim.Start()) return 1;
  if (!line.readyFile.empty() &&
      !WriteFileWhole(line.readyFile,
                      "127.0.0.1:" + std::to_string(sim.port()) + "\n")) {
    std::cout << "readersim: cannot write " << line.readyFile << "\n";
    sim.Stop();
    return 1;
  }
  sim.Wait();
  return 0;
}

}  // namespace

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
  if (line.action == CommandLine::Action::kMakeImage) return WriteImage(line);
  if (!LoadExpect(line)) return 2;
  // A ready file of an earlier run must not pass for this one's.
  if (!line.readyFile.empty()) std::remove(line.readyFile.c_str());
  return line.fleet.readers > 0 ? RunSimFleet(line) : ServeOne(line);
}

}  // namespace modflash::sim
