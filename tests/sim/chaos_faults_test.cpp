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
using testing::SendCodePacket;
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

// The faults that put a programmer's answers out of step with its requests,
// on the wire: a lost request, an answer relayed twice, an unsolicited
// Status. Each keeps the module serial: a request sent meanwhile waits.
TEST_F(ChaosFaultTest, LostRequestDuplicateAndExtraStatus) {
  SimOptions options;
  options.loseRequestFrame = 3;  // the first slice
  options.duplicateFrame = 4;    // the second
  options.duplicateGapMs = 150;
  options.extraStatusFrame = 5;  // the third
  options.extraStatusGapMs = 150;
  Start(options);
  ASSERT_TRUE(client_.Exchange(CommandFrame(0x55)).has_value());
  std::this_thread::sleep_for(Ms(100));
  ASSERT_EQ(client_.Exchange(UpdatePacket(2, {0, 0, 0, 0})).value().at(17),
            0x0E);
  const Bytes slice(32, 0x5A);
  constexpr uint32_t kA = 0x404000, kB = kA + 32, kC = kA + 64;
  EXPECT_FALSE(client_.Exchange(SendCodePacket(kA, slice.data(), false), 300)
                   .has_value());

  // The answer to B, and the same again 150 ms later; C, sent at once,
  // waits for it. The client's clock starts once it has read the first
  // answer, after the simulator's did: a bound below the 150 ms.
  ASSERT_TRUE(
      client_.Send(kTypeModuleData, SendCodePacket(kB, slice.data(), false)));
  const auto answerB = client_.Read(2000);
  ASSERT_TRUE(answerB);
  const auto firstB = std::chrono::steady_clock::now();
  ASSERT_TRUE(
      client_.Send(kTypeModuleData, SendCodePacket(kC, slice.data(), false)));
  const auto againB = client_.Read(2000);
  ASSERT_TRUE(againB);
  EXPECT_GE(std::chrono::steady_clock::now() - firstB, Ms(100));
  EXPECT_EQ(againB->payload, answerB->payload);
  EXPECT_EQ(answerB->payload, UpdateAnswer('S', kPacketSendCode, kB, 0));

  // The answer to C, then a Status 00 to C that nothing asked for.
  const auto answerC = client_.Read(2000);
  ASSERT_TRUE(answerC);
  const auto firstC = std::chrono::steady_clock::now();
  EXPECT_EQ(answerC->payload, UpdateAnswer('S', kPacketSendCode, kC, 0));
  const auto extra = client_.Read(2000);
  ASSERT_TRUE(extra);
  EXPECT_GE(std::chrono::steady_clock::now() - firstC, Ms(100));
  EXPECT_EQ(extra->payload, UpdateAnswer('S', kPacketSendCode, kC, 0));
  EXPECT_FALSE(client_.Read(300).has_value());

  // A never reached the flash, B and C did; the module saw 4 of the 5
  // frames.
  const Bytes flash = sim_->Flash();
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 32), Bytes(32, 0xFF));
  EXPECT_EQ(Bytes(flash.begin() + 32, flash.begin() + 96), Bytes(64, 0x5A));
  const ConnectionStats stats = Finish();
  EXPECT_EQ(stats.moduleFrames, 4u);
  EXPECT_EQ(stats.bytesWritten, 64u);
  const std::string log = Log();
  EXPECT_NE(log.find("module frame 3 lost on the way to the module"),
            std::string::npos);
  EXPECT_NE(log.find("answer to module frame 4 sent again, 150 ms later"),
            std::string::npos);
  EXPECT_NE(log.find("unsolicited Status 00 sent 150 ms after the answer to "
                     "module frame 5"),
            std::string::npos);
}

// Lower bounds only: a loaded host may add any delay of its own.
TEST_F(ChaosFaultTest, AnswerLatencyHoldsEachAnswerAndQueuesTheNext) {
  SimOptions options;
  options.answerLatencyMs = 1000;
  Start(options);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(client_.Exchange(CommandFrame(0x60), 5000).has_value());
  EXPECT_GE(std::chrono::steady_clock::now() - start, Ms(1000));

  // Two frames at once: the second's latency starts when the first's answer
  // has gone out.
  Bytes both =
      BuildReaderMessage(kTypeModuleData, CommandFrame(0x60).data(), 16);
  const Bytes once = both;
  both.insert(both.end(), once.begin(), once.end());
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(client_.SendBytes(both));
  ASSERT_TRUE(client_.Read(5000).has_value());
  ASSERT_TRUE(client_.Read(5000).has_value());
  EXPECT_GE(std::chrono::steady_clock::now() - sent, Ms(2000));

  // The reader's own messages are not held: five rate queries take far
  // less than the 5 s that five latencies would.
  const auto queries = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(client_.Send(kTypeGetBaudRate, {}));
    ASSERT_TRUE(client_.Read(5000).has_value());
  }
  EXPECT_LT(std::chrono::steady_clock::now() - queries, Ms(3000));
}

// With --line-timing the latency adds to the line time, and an answer never
// leaves sooner than 3/4 of its line time (plus the latency) after its
// request, whatever the pacing made up for before.
TEST_F(ChaosFaultTest, LatencyAddsToLineTimingAndAnswersNeverComeEarly) {
  SimOptions options;
  options.lineTiming = true;
  options.rate = 115200;
  options.answerLatencyMs = 10;
  Start(options);
  // A version command and its answer: 32 bytes, 2.78 ms at 115200.
  const auto least = Ms(10) + std::chrono::microseconds(3 * 2778 / 4);
  for (int i = 0; i < 40; ++i) {
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(client_.Exchange(CommandFrame(0x60)).has_value());
    ASSERT_GE(std::chrono::steady_clock::now() - sent, least) << i;
  }
}

TEST(ChaosFaultCommandLine, TakesTheFaultsAndRefusesBadValues) {
  CommandLine line;
  std::string error;
  ASSERT_TRUE(ParseCommandLine({"--drop-answer",
                                "7",
                                "--delay-answer",
                                "8:6000",
                                "--corrupt-answer",
                                "9:check",
                                "--close-at",
                                "10",
                                "--reset-at",
                                "11",
                                "--drip",
                                "12:4000",
                                "--endless-entry",
                                "--junk-before",
                                "13:3",
                                "--double-answer",
                                "14",
                                "--answer-latency",
                                "1000",
                                "--duplicate-answer",
                                "15:7",
                                "--extra-status",
                                "16",
                                "--lose-request",
                                "17"},
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
  EXPECT_EQ(o.answerLatencyMs, 1000u);
  EXPECT_EQ(o.duplicateFrame, 15u);
  EXPECT_EQ(o.duplicateGapMs, 7u);
  EXPECT_EQ(o.extraStatusFrame, 16u);
  EXPECT_EQ(o.extraStatusGapMs, 2u);
  EXPECT_EQ(o.loseRequestFrame, 17u);

  line = CommandLine{};
  ASSERT_TRUE(
      ParseCommandLine({"--corrupt-answer", "2:0", "--delay-answer", "8:15000",
                        "--duplicate-answer", "3", "--extra-status", "4:10000"},
                       line, error));
  EXPECT_FALSE(line.options.corruptCheck);
  EXPECT_EQ(line.options.corruptIndex, 0u);
  EXPECT_EQ(line.options.delayAnswerMs, 15000u);
  EXPECT_EQ(line.options.duplicateGapMs, 2u);
  EXPECT_EQ(line.options.extraStatusGapMs, 10000u);
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--delay-answer", "3:15001"},
        {"--delay-answer", "3"},
        {"--answer-latency", "1001"},
        {"--answer-latency", "-1"},
        {"--duplicate-answer", "3:10001"},
        {"--duplicate-answer", "3:1:2"},
        {"--extra-status", "x"},
        {"--extra-status", "4:"},
        {"--lose-request", "1.5"},
        {"--lose-request"},
        {"--corrupt-answer", "3:tail"},
        {"--junk-before", "3:0"},
        {"--drip", "3:1:2"},
        {"--endless-entry=1"},
        {"--noise-after", "3:0"},
        {"--noise-after", "3:65"},
        {"--resend-in-pieces", "3:4:10001"},
        {"--latency-schedule", "5:9,5:30"},
        {"--latency-schedule", "0:9"},
        {"--latency-schedule", "5:1001"},
        {"--latency-schedule", "5"},
        {"--no-address-echo", "ones"}}) {
    line = CommandLine{};
    error.clear();
    EXPECT_FALSE(ParseCommandLine(bad, line, error)) << bad[0];
    EXPECT_FALSE(error.empty());
  }
}

TEST(ChaosFaultCommandLine, TakesTheLineFaultsAndTheModuleWithoutEcho) {
  CommandLine line;
  std::string error;
  ASSERT_TRUE(ParseCommandLine(
      {"--noise-after", "20:9:3", "--resend-in-pieces", "21", "--latency-schedule",
       "1:9,300:30", "--no-address-echo", "random"},
      line, error))
      << error;
  const SimOptions& o = line.options;
  EXPECT_EQ(o.noiseFrame, 20u);
  EXPECT_EQ(o.noiseCount, 9u);
  EXPECT_EQ(o.noiseGapMs, 3u);
  EXPECT_EQ(o.piecesFrame, 21u);
  EXPECT_EQ(o.piecesFirst, 10u);
  EXPECT_EQ(o.piecesGapMs, 2u);
  ASSERT_EQ(o.latencySchedule.size(), 2u);
  EXPECT_EQ(o.latencySchedule[1].fromFrame, 300u);
  EXPECT_EQ(o.latencySchedule[1].latencyMs, 30u);
  EXPECT_EQ(o.addressEcho, SimOptions::AddressEcho::kRandom);
}

// Noise after an answer, an answer sent again in two pieces, a module that
// puts zeros where others echo the address, and a latency that changes
// part-way, each on the wire.
TEST_F(ChaosFaultTest, NoisePiecesNoEchoAndLatencySchedule) {
  SimOptions options;
  options.noiseFrame = 3;
  options.noiseCount = 4;
  options.piecesFrame = 4;
  options.piecesFirst = 10;
  options.piecesGapMs = 150;
  options.addressEcho = SimOptions::AddressEcho::kZeros;
  options.latencySchedule = {{5, 300}};
  Start(options);
  ASSERT_TRUE(client_.Exchange(CommandFrame(0x55)).has_value());
  std::this_thread::sleep_for(Ms(100));
  ASSERT_TRUE(client_.Exchange(UpdatePacket(2, {0, 0, 0, 0})).has_value());
  const Bytes slice(32, 0x5A);
  constexpr uint32_t kA = 0x404000, kB = kA + 32, kC = kA + 64;
  // Zeros at 13-16, the CRC made to fit; then four zero bytes, a message
  // head that no reader message starts with.
  const Bytes zeros = UpdateAnswer('S', kPacketSendCode, 0, 0);
  const Bytes message =
      BuildReaderMessage(kTypeModuleData, zeros.data(), zeros.size());
  ASSERT_TRUE(
      client_.Send(kTypeModuleData, SendCodePacket(kA, slice.data(), false)));
  Bytes expected = message;
  expected.insert(expected.end(), 4, 0);
  EXPECT_EQ(client_.ReadRaw(500), expected);

  // The answer, then the same again, in two pieces.
  ASSERT_TRUE(
      client_.Send(kTypeModuleData, SendCodePacket(kB, slice.data(), false)));
  const Bytes answerB = UpdateAnswer('S', kPacketSendCode, 0, 0);
  const Bytes once =
      BuildReaderMessage(kTypeModuleData, answerB.data(), answerB.size());
  Bytes twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(client_.ReadRaw(600), twice);

  // From frame 5 on, 300 ms of latency.
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(
      client_.Exchange(SendCodePacket(kC, slice.data(), false), 2000));
  EXPECT_GE(std::chrono::steady_clock::now() - sent, Ms(290));
  Finish();
  const std::string log = Log();
  EXPECT_NE(log.find("4 noise bytes sent 1 ms after the answer to module "
                     "frame 3"),
            std::string::npos);
  EXPECT_NE(log.find("answer to module frame 4 sent again in two pieces, 10 "
                     "bytes, then the rest 150 ms later"),
            std::string::npos);
}

}  // namespace
}  // namespace modflash::sim
