// readersim's options, group by group, each with its help text and the
// rule that reads its value (option_values.h).

#include <string>

#include "contract/port.h"
#include "tools/readersim/option_table.h"

namespace modflash::sim {
namespace {

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
  t.Value(g, "--noise-after", "N[:COUNT[:GAP]]",
          "GAP ms (default 1) after the answer to module frame N, send COUNT "
          "zero bytes (1 to 64, default 4): noise on the line",
          [&o](const std::string& v) { return ParseNoiseAfter(v, o); });
  t.Value(g, "--resend-in-pieces", "N[:FIRST[:GAP]]",
          "send the answer to module frame N, then again in two pieces: its "
          "first FIRST bytes (1 to 64, default 10) at once, the rest GAP ms "
          "later (default 2)",
          [&o](const std::string& v) { return ParseResendInPieces(v, o); });
  t.Value(g, "--latency-schedule", "N:MS[,N:MS...]",
          "from module frame N on, answer MS ms (0 to 1000) after the frame "
          "arrives, instead of --answer-latency; N rising",
          [&o](const std::string& v) { return ParseLatencySchedule(v, o); });
  t.Value(g, "--no-address-echo", "KIND",
          "a module that does not echo the flash address at bytes 13-16 of "
          "its update answers: KIND zeros, constant (5A A5 C3 3C) or random "
          "bytes",
          [&o](const std::string& v) { return ParseNoAddressEcho(v, o); });
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

}  // namespace

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

}  // namespace modflash::sim
