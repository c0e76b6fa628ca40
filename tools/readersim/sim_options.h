#ifndef MODFLASH_TOOLS_READERSIM_SIM_OPTIONS_H_
#define MODFLASH_TOOLS_READERSIM_SIM_OPTIONS_H_

#include <cstdint>
#include <iostream>
#include <set>
#include <string>
#include <vector>

namespace modflash::sim {

/// Size of the module's code flash, and where it starts in its address map.
inline constexpr uint32_t kFlashSize = 204800;
inline constexpr uint32_t kFlashBase = 0x404000;
/// Where an image keeps its signature and version (major at the highest).
inline constexpr uint32_t kSignatureOffset = 204760;
inline constexpr uint32_t kPatchOffset = 204765;
inline constexpr uint32_t kMinorOffset = 204766;
inline constexpr uint32_t kMajorOffset = 204767;

struct Version {
  uint8_t major = 1;
  uint8_t minor = 0;
  uint8_t patch = 0;
};

/// Everything that shapes the simulated reader and module: timing, output
/// and the faults to rehearse. Frame counters (`...Frame`, `...Packet`)
/// count from 1 within one connection; 0 switches the fault off.
struct SimOptions {
  /// 0 picks a free port below 16536.
  uint16_t port = 5000;
  /// The module's serial rate when the simulator starts.
  int32_t rate = 921600;
  /// The version that the module's flash holds when the simulator starts.
  Version version;
  /// Silent time after 0x55 before the update loader listens.
  uint32_t prepareRestartMs = 100;
  /// Restart after a rate change; the reader confirms after it.
  uint32_t rateRestartMs = 200;
  /// Restart after Update_Complete into the normal firmware.
  uint32_t completeRestartMs = 2000;
  /// Paces every module exchange by its bytes' time on the serial line.
  bool lineTiming = false;
  /// Logs every message both ways, decoded and time-stamped.
  bool trace = false;
  /// Written with the flash contents after each connection (if not empty).
  std::string flashOut;
  /// Compared with the flash after each connection (if not empty).
  std::vector<uint8_t> expectImage;
  /// Serve this many connections, then stop by itself; 0: until Stop().
  uint32_t maxConnections = 0;

  // Faults.
  /// Update_SendCode to this flash address is refused ...
  uint32_t refuseAddress = 0;
  /// ... this many times ...
  uint32_t refuseTimes = 0;
  /// ... with this status.
  uint8_t refuseStatus = 0x03;
  /// The Status answer to this update packet is cut short ...
  uint32_t shortStatusPacket = 0;
  /// ... to this many bytes (below 18, so without a status byte).
  uint8_t shortStatusLength = 8;
  /// Answers sent before the enter Status, one per letter of B, F, E.
  std::string enterPreamble;
  /// Status of the answer to Update_EnterUpdateMode.
  uint8_t enterStatus = 0x0E;
  /// Status of the answer to Update_Complete; when not set, 0x09, or 0x0A
  /// when the update carried the test flag.
  bool completeStatusSet = false;
  uint8_t completeStatus = 0;
  /// Reported (instead of the flash's) after the update's restart.
  bool versionAfterSet = false;
  Version versionAfter;
  /// Version commands left unanswered after the update's restart.
  uint32_t silentPolls = 0;
  /// Reader message types that are read and never answered.
  std::vector<uint8_t> ignoreTypes;
  /// Rate changes are answered 0x3B with 0 and change nothing.
  bool failRateChange = false;
  /// The connection is closed once this many update packets were answered.
  uint32_t closeAfterPackets = 0;
  /// Answers go out one byte per send, with a pause between bytes.
  bool byteByByte = false;
  uint32_t byteGapMs = 1;
  /// The answer to this module frame is a message whose length byte is ...
  uint32_t lowLengthFrame = 0;
  /// ... this value (4 to 7); exactly that many bytes are sent.
  uint8_t lowLengthValue = 6;
  /// The answer to this module frame is padded with zeros ...
  uint32_t oversizeFrame = 0;
  /// ... to this many payload bytes (65 to 247).
  uint16_t oversizeLength = 100;

  // Faults for the chaos soak; module frames count from 1 per connection.
  /// The answers to this module frame are not sent.
  uint32_t dropAnswerFrame = 0;
  /// The answers to this module frame go out `delayAnswerMs` late (to
  /// 15000); the module is busy meanwhile.
  uint32_t delayAnswerFrame = 0;
  uint32_t delayAnswerMs = 0;
  /// One byte of the answer to this module frame is inverted: payload byte
  /// `corruptIndex` (the last one when the payload is shorter; the check
  /// byte is made to fit), or the check byte when `corruptCheck`.
  uint32_t corruptFrame = 0;
  uint32_t corruptIndex = 17;
  bool corruptCheck = false;
  /// When this module frame arrives the connection is closed, unanswered ...
  uint32_t closeAtFrame = 0;
  /// ... or reset.
  uint32_t resetAtFrame = 0;
  /// The answer to this module frame goes out a byte at a time, `dripGapMs`
  /// apart.
  uint32_t dripFrame = 0;
  uint32_t dripGapMs = 1000;
  /// Update_EnterUpdateMode is answered with Begin, FirmwareUpdateCfg and End
  /// answers, 10 ms apart, and never a Status, until the client sends again
  /// or closes.
  bool endlessEntry = false;
  /// `junkCount` bytes without a message start go out before the answer to
  /// this module frame, in the same segment.
  uint32_t junkFrame = 0;
  uint32_t junkCount = 16;
  /// The answer to this module frame goes out twice in one segment.
  uint32_t doubleFrame = 0;
  /// Every module frame is answered this long after it arrives (to 1000
  /// ms). The module takes one frame at a time: a frame that arrives while
  /// an earlier one is pending waits until the earlier one's answers went
  /// out. Adds to the line time of `lineTiming`.
  uint32_t answerLatencyMs = 0;
  /// The answers to this module frame go out, then the same answers again
  /// `duplicateGapMs` later, as a reader that relays them twice.
  uint32_t duplicateFrame = 0;
  uint32_t duplicateGapMs = 2;
  /// `extraStatusGapMs` after the answers to this module frame, a Status
  /// answer with status 0x00 that nothing asked for.
  uint32_t extraStatusFrame = 0;
  uint32_t extraStatusGapMs = 2;
  /// This module frame is lost between the reader and the module: never
  /// handled, never answered.
  uint32_t loseRequestFrame = 0;
  /// `noiseGapMs` after the answers to this module frame, `noiseCount` zero
  /// bytes (noise on the line, read as the start of a message).
  uint32_t noiseFrame = 0;
  uint32_t noiseCount = 4;
  uint32_t noiseGapMs = 1;
  /// The answers to this module frame go out, then again in two pieces: the
  /// first `piecesFirst` bytes at once, the rest `piecesGapMs` later.
  uint32_t piecesFrame = 0;
  uint32_t piecesFirst = 10;
  uint32_t piecesGapMs = 2;
  /// From module frame `fromFrame` on, answers come `latencyMs` after their
  /// frame instead of after --answer-latency (in frame order).
  struct LatencyStep {
    uint32_t fromFrame = 0;
    uint32_t latencyMs = 0;
  };
  std::vector<LatencyStep> latencySchedule;
  /// What the module puts at bytes 13-16 of its update answers: the
  /// request's flash address, or, for a module that does not echo it,
  /// zeros, a constant or random bytes.
  enum class AddressEcho { kEcho, kZeros, kConstant, kRandom };
  AddressEcho addressEcho = AddressEcho::kEcho;

  /// Where log, trace and summary lines go. Must outlive the simulator.
  std::ostream* log = &std::cout;

  // Robustness against clients that misbehave.
  /// A connection on which nothing arrives for this long is closed, so that
  /// an idle or frozen client cannot keep the next one waiting; 0: never.
  uint32_t idleTimeoutMs = 30000;
  // Capture (--pcap).
  /// Every connection's TCP payloads, both ways, go to this libpcap file
  /// (if not empty).
  std::string pcapPath;
};

/// A rehearsal fleet: --readers N and the options that go with it.
struct FleetSimOptions {
  uint32_t readers = 0;  ///< 0: a single reader, as without these options
  std::string inventoryOut;
  /// Readers (from 1) that get the fault options; empty: all of them.
  std::set<uint32_t> faulty;
  /// --versions: the module versions of the readers, in order from reader
  /// 1: `count` readers each (0: every reader still without one). Readers
  /// that none covers keep the --version of all.
  struct VersionShare {
    Version version;
    uint32_t count = 0;
  };
  std::vector<VersionShare> versions;
};

/// The rate for a baud code 0..3, or 0.
int32_t RateForCode(uint8_t code);
/// The baud code (exponent) of one of the four rates, or -1.
int RateCode(int32_t rate);

}  // namespace modflash::sim

#endif  // MODFLASH_TOOLS_READERSIM_SIM_OPTIONS_H_
