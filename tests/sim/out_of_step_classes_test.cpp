// Each class of answers out of step with their requests, played by readersim
// against a whole run, with a module that echoes its requests' addresses and
// with one that does not: a run may fail (with its failure line), but it may
// only succeed with every slice in the flash. A module that echoes must also
// never fail: the address tells every stray from its request's answer.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/update_sequence.h"
#include "contract/output_lines.h"
#include "link/ethernet_update_comm.h"
#include "tests/support/capture.h"
#include "tests/support/temp_dir.h"
#include "tools/readersim/simulator.h"

namespace modflash::sim {
namespace {

// A run's pauses (restart waits, the pause after the prepare command) cut
// to a twentieth, so that a class takes seconds; the simulated module's
// restarts are shorter still.
class ShortPauseLink : public EthernetUpdateComm {
 public:
  using EthernetUpdateComm::EthernetUpdateComm;
  void Delay(uint32_t ms) override { EthernetUpdateComm::Delay(ms / 20); }
};

// Module frames of a run: the probe, the first restart wait's poll, the
// version read, the prepare command, Update_EnterUpdateMode, then slices.
constexpr uint32_t kEnterFrame = 5;
constexpr uint32_t kFirstSliceFrame = 6;
constexpr uint32_t kSlices = 160;

uint32_t SliceAddress(uint32_t frame) {
  return kFlashBase + 32 * (frame - kFirstSliceFrame);
}

struct OutOfStepCase {
  const char* name;
  void (*apply)(SimOptions& o);
  /// Closed by the timing defences too, so played without echo as well.
  bool closedWithoutEcho;
};

const OutOfStepCase kCases[] = {
    {"DuplicateAtAPlausibleTimeThenLoss",
     [](SimOptions& o) {
       o.answerLatencyMs = 9;
       o.duplicateFrame = 60;
       o.duplicateGapMs = 9;
       o.loseRequestFrame = 70;
     },
     false},
    {"NoiseThenLoss",
     [](SimOptions& o) {
       o.answerLatencyMs = 9;
       o.noiseFrame = 60;
       o.loseRequestFrame = 80;
     },
     true},
    {"AnswerAgainInPiecesThenLoss",
     [](SimOptions& o) {
       o.answerLatencyMs = 9;
       o.piecesFrame = 60;
       o.loseRequestFrame = 80;
     },
     true},
    {"DuplicateInTheFirstSlicesThenLoss",
     [](SimOptions& o) {
       o.answerLatencyMs = 9;
       o.duplicateFrame = kFirstSliceFrame + 5;
       o.loseRequestFrame = kFirstSliceFrame + 6;
     },
     true},
    {"DuplicateOfTheEnterAnswerThenLoss",
     [](SimOptions& o) {
       o.answerLatencyMs = 9;
       o.duplicateFrame = kEnterFrame;
       o.duplicateGapMs = 3;
       o.loseRequestFrame = 40;
     },
     true},
    {"DuplicateAtAPlausibleTimeThenRefusal",
     [](SimOptions& o) {
       o.answerLatencyMs = 9;
       o.duplicateFrame = 60;
       o.duplicateGapMs = 7;
       o.refuseAddress = SliceAddress(61);
       o.refuseTimes = 1;
     },
     true},
    {"ReaderThatSlowsDownThenDuplicateAndLoss",
     [](SimOptions& o) {
       o.latencySchedule = {{1, 9}, {50, 30}};
       o.duplicateFrame = 70;
       o.duplicateGapMs = 12;
       o.loseRequestFrame = 80;
     },
     false},
    {"SimulatorSpeedDuplicateRefusalAndLoss",
     [](SimOptions& o) {
       o.duplicateFrame = 60;
       o.duplicateGapMs = 0;
       o.refuseAddress = SliceAddress(61);
       o.refuseTimes = 1;
       o.loseRequestFrame = 70;
     },
     false},
    {"DuplicateOfTheLastSlicesAnswer",
     [](SimOptions& o) {
       o.answerLatencyMs = 9;
       o.duplicateFrame = kFirstSliceFrame + kSlices - 1;
     },
     false},
    {"AnswerAlmostFifteenSecondsLateThenLoss",
     [](SimOptions& o) {
       o.answerLatencyMs = 9;
       o.delayAnswerFrame = 60;
       o.delayAnswerMs = 14900;
       o.loseRequestFrame = 62;
     },
     false},
};

struct Played {
  int status = 0;
  bool flashWhole = false;
  std::string printed;
  std::string log;
};

Played Play(const OutOfStepCase& c, SimOptions::AddressEcho echo) {
  std::ostringstream log;
  SimOptions o;
  o.port = 0;
  o.prepareRestartMs = 10;
  o.rateRestartMs = o.completeRestartMs = 20;
  o.versionAfterSet = true;
  o.versionAfter = Version{2, 0, 0};
  o.addressEcho = echo;
  o.log = &log;
  c.apply(o);
  Simulator sim(o);
  Played p;
  if (!sim.Start()) return p;
  const std::vector<uint8_t> image = testing::MakeImage(2, 0, 0);
  FirmwareImage firmware;
  firmware.codeBuffer = image.data();
  firmware.version = FirmwareVersion{2, 0, 0};
  firmware.codeSize = kSlices * 32;
  testing::StdoutCapture out;
  {
    UpdateController controller(
        std::make_unique<ShortPauseLink>("127.0.0.1", sim.port()));
    p.status = RunUpdateSteps(controller, "127.0.0.1", false, firmware,
                              Revision::kCurrent);
  }
  p.printed = out.Take();
  sim.WaitForConnections(1, 20000);
  const std::vector<uint8_t> flash = sim.Flash();
  p.flashWhole = std::equal(image.begin(), image.begin() + kSlices * 32,
                            flash.begin());
  p.log = log.str();
  return p;
}

std::string LastLine(const std::string& printed) {
  const size_t end = printed.find_last_not_of('\n');
  if (end == std::string::npos) return "";
  const size_t start = printed.rfind('\n', end);
  return printed.substr(start == std::string::npos ? 0 : start + 1,
                        end - (start == std::string::npos ? 0 : start + 1) + 1);
}

class OutOfStepClassTest : public ::testing::TestWithParam<int> {};

TEST_P(OutOfStepClassTest, EchoingModuleNeitherFailsNorLosesASlice) {
  const OutOfStepCase& c = kCases[GetParam()];
  const Played p = Play(c, SimOptions::AddressEcho::kEcho);
  EXPECT_EQ(p.status, 0) << c.name << "\n" << p.printed << p.log;
  EXPECT_TRUE(p.flashWhole) << c.name << "\n" << p.printed << p.log;
}

TEST_P(OutOfStepClassTest, ModuleWithoutEchoNeverSucceedsWithASliceMissing) {
  const OutOfStepCase& c = kCases[GetParam()];
  if (!c.closedWithoutEcho) {
    GTEST_SKIP() << c.name << ": told apart by the echoed address alone";
  }
  const SimOptions::AddressEcho kinds[] = {SimOptions::AddressEcho::kZeros,
                                           SimOptions::AddressEcho::kConstant,
                                           SimOptions::AddressEcho::kRandom};
  const SimOptions::AddressEcho kind = kinds[GetParam() % 3];
  const Played p = Play(c, kind);
  std::cerr << "[ outcome  ] " << c.name << " without echo: exit "
            << p.status << (p.flashWhole ? ", flash whole" : ", flash short")
            << "\n";
  const std::string why = std::string(c.name) + " without echo (" +
                          std::to_string(GetParam() % 3) + ")\n" + p.printed +
                          p.log;
  ASSERT_TRUE(p.status == 0 || p.status == -1) << why;
  if (p.status == 0) {
    EXPECT_TRUE(p.flashWhole) << why;
    return;
  }
  // A failure ends with the line of the step that gave up.
  const std::string last = LastLine(p.printed);
  EXPECT_TRUE(last == output::kTransferNotConfirmed ||
              last.rfind(output::kSliceGaveUp, 0) == 0 ||
              last == output::kCompleteFailed)
      << why;
}

INSTANTIATE_TEST_SUITE_P(
    Classes, OutOfStepClassTest,
    ::testing::Range(0, static_cast<int>(sizeof kCases / sizeof kCases[0])),
    [](const ::testing::TestParamInfo<int>& param) {
      return std::string(kCases[param.param].name);
    });

}  // namespace
}  // namespace modflash::sim
