// readersim's faults for the chaos soak: each one changes exactly the answer
// to the module frame it names, on the wire.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/sim_client.h"
#include "tools/readersim/command_line.h"
#include "tools/readersim/simulator.h"

namespace modflash::sim {
namespace {

using testing::CommandFrame;
using testing::RawClient;
using testing::UpdatePacket;
using Ms = std::chrono::milliseconds;

class ChaosFaultTest : public ::testing::Test {
 protected:
  void Start(SimOptions options) {
    options.port = 0;
    options.prepareRestartMs = options.rateRestartMs =
        options.completeRestartMs = 20;
    options.log = &log_;
    sim_ = std::make_unique<Simulator>(std::move(options));
    ASSERT_TRUE(sim_->Start());
    ASSERT_TRUE(client_.Connect(sim_->port()));
  }
  ConnectionStats Finish() {
    client_.Close();
    EXPECT_TRUE(sim_->WaitForConnections(1, 5000));
    const auto all = sim_->Connections();
    return all.empty() ? ConnectionStats{} : all.back();
  }
  static Bytes VersionMessage() {
    const Bytes answer = CommandAnswer(0x60, 0, 1, 0, 0);
    return BuildReaderMessage(kTypeModuleData, answer.data(), answer.size());
  }

  std::string Log() const { return log_.str(); }

  std::ostringstream log_;
  std::unique_ptr<Simulator> sim_;
  RawClient client_;
};

TEST_F(ChaosFaultTest, DroppedLateAndDoubledAnswers) {
  SimOptions options;
  options.dropAnswerFrame = 1;
  options.delayAnswerFrame = 2;
  options.delayAnswerMs = 400;
  options.doubleFrame = 3;
  Start(options);
  EXPECT_FALSE(client_.Exchange(CommandFrame(0x60), 300).has_value());

  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(client_.Send(kTypeModuleData, CommandFrame(0x60)));
  EXPECT_FALSE(client_.Read(150).has_value());
  ASSERT_TRUE(client_.Read(5000).has_value());
  EXPECT_GE(std::chrono::steady_clock::now() - start, Ms(400));

  ASSERT_TRUE(client_.Send(kTypeModuleData, CommandFrame(0x60)));
  Bytes twice = VersionMessage();
  const Bytes once = twice;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(client_.ReadRaw(500), twice);
  // Later frames are answered as usual.
  EXPECT_TRUE(client_.Exchange(CommandFrame(0x60)).has_value());
  Finish();
  EXPECT_NE(Log().find("answer to module frame 1 dropped"), std::string::npos);
}

TEST_F(ChaosFaultTest, CorruptedPayloadOrCheckByteAndJunkBefore) {
  SimOptions options;
  options.corruptFrame = 1;
  options.corruptIndex = 6;  // the version answer's result byte
  options.junkFrame = 2;
  options.junkCount = 5;
  Start(options);
  const auto bad = client_.Exchange(CommandFrame(0x60));
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->at(6), 0xFF);

  ASSERT_TRUE(client_.Send(kTypeModuleData, CommandFrame(0x60)));
  Bytes expected = {1, 2, 3, 4, 5};
  const Bytes message = VersionMessage();
  expected.insert(expected.end(), message.begin(), message.end());
  EXPECT_EQ(client_.ReadRaw(500), expected);
  Finish();

  // The check byte, on a new simulator.
  options.corruptCheck = true;
  options.junkFrame = 0;
  sim_.reset();
  RawClient other;
  options.port = 0;
  options.log = &log_;
  sim_ = std::make_unique<Simulator>(options);
  ASSERT_TRUE(sim_->Start());
  ASSERT_TRUE(other.Connect(sim_->port()));
  ASSERT_TRUE(other.Send(kTypeModuleData, CommandFrame(0x60)));
  const Bytes raw = other.ReadRaw(500);
  ASSERT_EQ(raw.size(), message.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    EXPECT_EQ(raw[i], i == raw.size() - 3 ? static_cast<uint8_t>(~message[i])
                                          : message[i])
        << "byte " << i;
  }
}

TEST_F(ChaosFaultTest, ClosesOrResetsAtAFrameAndServesTheNextClient) {
  SimOptions options;
  options.closeAtFrame = 2;
  Start(options);
  EXPECT_TRUE(client_.Exchange(CommandFrame(0x60)).has_value());
  ASSERT_TRUE(client_.Send(kTypeModuleData, CommandFrame(0x60)));
  EXPECT_TRUE(client_.WaitClosed(2000));
  EXPECT_TRUE(Finish().closedBySimulator);

  sim_.reset();
  options.closeAtFrame = 0;
  options.resetAtFrame = 1;
  Start(options);
  ASSERT_TRUE(client_.Send(kTypeModuleData, CommandFrame(0x60)));
  EXPECT_TRUE(client_.WaitClosed(2000));
  EXPECT_TRUE(Finish().resetBySimulator);
  // The next client starts counting anew and is reset at its first frame
  // too: the simulator is still serving.
  RawClient next;
  ASSERT_TRUE(next.Connect(sim_->port()));
  ASSERT_TRUE(next.Send(kTypeModuleData, CommandFrame(0x60)));
  EXPECT_TRUE(next.WaitClosed(2000));
}

TEST_F(ChaosFaultTest, DrippedAnswerArrivesByteByByte) {
  SimOptions options;
  options.dripFrame = 1;
  options.dripGapMs = 40;
  Start(options);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(client_.Send(kTypeModuleData, CommandFrame(0x60)));
  Bytes first;
  for (int i = 0; i < 200 && first.empty(); ++i) first = client_.ReadRaw(10);
  ASSERT_GE(first.size(), 1u);
  EXPECT_LT(first.size(), 24u);
  Bytes all = first;
  const Bytes rest = client_.ReadRaw(3000);
  all.insert(all.end(), rest.begin(), rest.end());
  EXPECT_EQ(all, VersionMessage());
  // 23 gaps of 40 ms between the 24 bytes.
  EXPECT_GE(std::chrono::steady_clock::now() - start, Ms(23 * 40));
}

TEST_F(ChaosFaultTest, EndlessEntryAnswersNeverCarryAStatus) {
  SimOptions options;
  options.endlessEntry = true;
  Start(options);
  client_.Exchange(CommandFrame(0x55));  // the module prepares
  std::this_thread::sleep_for(Ms(100));
  ASSERT_TRUE(client_.Send(kTypeModuleData, UpdatePacket(2, {0, 0, 0, 0})));
  std::string letters;
  while (letters.size() < 40) {
    const auto m = client_.Read(2000);
    ASSERT_TRUE(m) << "after " << letters.size() << " answers";
    letters += static_cast<char>(m->payload.at(0));
  }
  EXPECT_EQ(letters.find_first_not_of("BFE"), std::string::npos) << letters;
  Finish();
  EXPECT_NE(Log().find("entry answers without a Status"), std::string::npos);
}

TEST(ChaosFaultCommandLine, TakesTheFaultsAndRefusesBadValues) {
  CommandLine line;
  std::string error;
  ASSERT_TRUE(ParseCommandLine(
      {"--drop-answer", "7", "--delay-answer", "8:6000", "--corrupt-answer",
       "9:check", "--close-at", "10", "--reset-at", "11", "--drip", "12:4000",
       "--endless-entry", "--junk-before", "13:3", "--double-answer", "14"},
      line, error))
      << error;
  const SimOptions& o = line.options;
  EXPECT_EQ(o.dropAnswerFrame, 7u);
  EXPECT_EQ(o.delayAnswerFrame, 8u);
  EXPECT_EQ(o.delayAnswerMs, 6000u);
  EXPECT_EQ(o.corruptFrame, 9u);
  EXPECT_TRUE(o.corruptCheck);
  EXPECT_EQ(o.closeAtFrame, 10u);
  EXPECT_EQ(o.resetAtFrame, 11u);
  EXPECT_EQ(o.dripFrame, 12u);
  EXPECT_EQ(o.dripGapMs, 4000u);
  EXPECT_TRUE(o.endlessEntry);
  EXPECT_EQ(o.junkFrame, 13u);
  EXPECT_EQ(o.junkCount, 3u);
  EXPECT_EQ(o.doubleFrame, 14u);

  line = CommandLine{};
  ASSERT_TRUE(ParseCommandLine({"--corrupt-answer", "2:0"}, line, error));
  EXPECT_FALSE(line.options.corruptCheck);
  EXPECT_EQ(line.options.corruptIndex, 0u);
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--delay-answer", "3:6001"},
        {"--delay-answer", "3"},
        {"--corrupt-answer", "3:tail"},
        {"--junk-before", "3:0"},
        {"--drip", "3:1:2"},
        {"--endless-entry=1"}}) {
    line = CommandLine{};
    error.clear();
    EXPECT_FALSE(ParseCommandLine(bad, line, error)) << bad[0];
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace modflash::sim
