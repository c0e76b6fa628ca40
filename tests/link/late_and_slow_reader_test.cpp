// The link against readers that break the time-outs or the pairing of
// requests and answers: stale, late, early and extra answers must not be
// taken for the answer to a later request, and a reader that drips its bytes
// cannot stretch a message beyond one time-out.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/ethernet_update_comm.h"
#include "protocol/update_controller.h"
#include "tests/support/capture.h"
#include "tests/support/fake_reader.h"
#include "tests/support/fake_update_comm.h"

namespace modflash {
namespace {

using testing::FakeReader;
using testing::FakeReaderScript;
using testing::ReaderMessage;
using testing::StatusAnswer;
using testing::StdoutCapture;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr char kTimedOut[] =
    "Error receiving message from reader. Error #10060.\n";

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Exchanges at a serial line's pace before the early-answer check is on.
constexpr int kPaced = 18;

Bytes Answer(uint8_t status) {
  return ReaderMessage(Reader_ModuleData, StatusAnswer(status));
}

// An answer already waiting when a request goes out belongs to an earlier
// request: it is thrown away, and the request's own answer is read.
TEST(LateAndSlowReaderTest, StaleAnswerIsDiscardedBeforeTheNextRequest) {
  Bytes twice = Answer(0x00);
  const Bytes extra = Answer(0x03);
  twice.insert(twice.end(), extra.begin(), extra.end());
  FakeReaderScript script;
  script.AwaitMessage().Reply(twice).AwaitMessage().Reply(Answer(0x01));
  FakeReader reader(script);
  StdoutCapture out;
  EthernetUpdateComm link("127.0.0.1", reader.port());
  const uint8_t frame[64] = {};
  uint8_t buffer[64];
  ASSERT_TRUE(link.Send(frame, 64));
  ASSERT_EQ(link.Receive(buffer, 64), 20);
  EXPECT_EQ(buffer[17], 0x00);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // 0x03 is in
  ASSERT_TRUE(link.Send(frame, 64));
  ASSERT_EQ(link.Receive(buffer, 64), 20);
  EXPECT_EQ(buffer[17], 0x01);
  EXPECT_EQ(link.Anomalies().strayInput, 1u);
  link.Disconnect();
  EXPECT_EQ(out.Take(), "Connected to reader.\n\n");
  reader.Finish();
  EXPECT_TRUE(reader.completed());
}

// A slice answer that comes 7.5 s late (a refusal), while a module would
// still be busy with the request, is caught before the retry, which then
// gets its own answer: nothing is read against the wrong packet.
TEST(LateAndSlowReaderTest, LateAnswerIsCaughtBeforeTheRetry) {
  FakeReaderScript script;
  script.AwaitMessage()
      .Pause(7500)
      .Reply(Answer(0x03))
      .AwaitMessage()
      .Reply(Answer(0x00));
  FakeReader reader(script);
  StdoutCapture out;
  UpdateController controller(
      std::make_unique<EthernetUpdateComm>("127.0.0.1", reader.port()));
  const uint8_t slice[32] = {};
  const auto start = Clock::now();
  EXPECT_FALSE(controller.SendCodePacket(kFlashBase, slice, 32, false));
  const double settled = SecondsSince(start);
  EXPECT_TRUE(controller.SendCodePacket(kFlashBase, slice, 32, false));
  controller.CloseLink();
  EXPECT_EQ(out.Take(), std::string("Connected to reader.\n\n") + kTimedOut +
                            "Error reading packet in SendCodePacket\n");
  // 5 s time-out, the late answer at 7.5 s, then 10 s of quiet.
  EXPECT_GE(settled, 17.4);
  EXPECT_LT(settled, 30.0);
  reader.Finish();
  EXPECT_TRUE(reader.completed());
}

// While the pairing is watched, an answer that comes far sooner than the
// exchanges before it (a duplicate, an unsolicited Status) is not taken: the
// request's own answer is awaited within the same time-out. Unwatched, the
// same stray is taken. A reader that answers in a few milliseconds after a
// slow start (a simulator on a busy machine) has every answer taken. Two
// fast exchanges at the start turn the check off only while they are among
// the last sixteen: the stray after sixteen paced ones is caught.
TEST(LateAndSlowReaderTest, EarlyStrayAnswerIsNotTakenWhileWatching) {
  struct Case {
    bool watch;
    int firstPauseMs;  // the first two exchanges
    int pauseMs;       // the next sixteen
    uint8_t last;      // the status read by the last exchange
    uint32_t early;
  };
  for (const Case c :
       {Case{true, 200, 200, 0x00, 1}, Case{false, 200, 200, 0x07, 0},
        Case{true, 300, 0, 0x07, 0}, Case{true, 0, 200, 0x00, 1}}) {
    FakeReaderScript script;
    for (int i = 0; i < kPaced; ++i) {
      script.AwaitMessage().Pause(i < 2 ? c.firstPauseMs : c.pauseMs);
      script.Reply(Answer(0));
    }
    script.AwaitMessage().Reply(Answer(0x07)).Pause(250).Reply(Answer(0x00));
    FakeReader reader(script);
    StdoutCapture out;
    EthernetUpdateComm link("127.0.0.1", reader.port());
    link.WatchPairing(c.watch);
    const uint8_t frame[64] = {};
    uint8_t buffer[64];
    for (int i = 0; i <= kPaced; ++i) {
      ASSERT_TRUE(link.Send(frame, 64));
      ASSERT_EQ(link.Receive(buffer, 64), 20);
    }
    EXPECT_EQ(buffer[17], c.last) << "watching " << c.watch;
    EXPECT_EQ(link.Anomalies().earlyAnswers, c.early) << "watching " << c.watch;
    link.Disconnect();
    EXPECT_EQ(out.Take(), "Connected to reader.\n\n");
  }
}

// A reader that speeds up to less than half its early pace has its next
// answer refused as a stray and the request times out. After the line has
// settled, the retry's answer can only be its own: it is taken, and it sets
// the new pace, so the transfer goes on instead of every retry timing out.
TEST(LateAndSlowReaderTest, ReaderThatSpeedsUpIsFollowedAfterOneSettle) {
  FakeReaderScript script;
  for (int i = 0; i < kPaced; ++i) {
    script.AwaitMessage().Pause(200).Reply(Answer(0));
  }
  for (int i = 0; i < 3; ++i) script.AwaitMessage().Reply(Answer(0));
  FakeReader reader(script);
  StdoutCapture out;
  EthernetUpdateComm link("127.0.0.1", reader.port());
  link.WatchPairing(true);
  const uint8_t frame[64] = {};
  uint8_t buffer[64];
  for (int i = 0; i < kPaced; ++i) {
    ASSERT_TRUE(link.Send(frame, 64));
    ASSERT_EQ(link.Receive(buffer, 64), 20);
  }
  ASSERT_TRUE(link.Send(frame, 64));
  EXPECT_EQ(link.Receive(buffer, 64), 0);
  link.DiscardLateAnswers();
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(link.Send(frame, 64));
    EXPECT_EQ(link.Receive(buffer, 64), 20) << "exchange " << i;
  }
  EXPECT_EQ(link.Anomalies().earlyAnswers, 1u);
  EXPECT_EQ(link.Anomalies().timeouts, 1u);
  link.Disconnect();
  EXPECT_EQ(out.Take(), std::string("Connected to reader.\n\n") + kTimedOut);
  reader.Finish();
  EXPECT_TRUE(reader.completed());
}

// An answer still arriving after the last one was read shows that the
// pairing slipped somewhere: the line does not stay quiet.
TEST(LateAndSlowReaderTest, AnswerAfterTheLastOneBreaksTheQuiet) {
  FakeReaderScript script;
  script.AwaitMessage().Reply(Answer(0)).Pause(3000).Reply(Answer(0));
  FakeReader reader(script);
  StdoutCapture out;
  EthernetUpdateComm link("127.0.0.1", reader.port());
  const uint8_t frame[64] = {};
  uint8_t buffer[64];
  ASSERT_TRUE(link.Send(frame, 64));
  ASSERT_EQ(link.Receive(buffer, 64), 20);
  const auto start = Clock::now();
  EXPECT_FALSE(link.AwaitQuietLine());
  // The extra answer at 3 s, then 10 s of quiet, 15 s after the request.
  EXPECT_GE(SecondsSince(start), 12.9);
  EXPECT_EQ(link.Anomalies().strayInput, 1u);
  link.Disconnect();
}

// One byte every 600 ms would take 14 s for this message; the rest of a
// message has 5 s once its first byte is in.
TEST(LateAndSlowReaderTest, DrippingReaderTimesOutOnceForTheWholeMessage) {
  FakeReaderScript script;
  script.AwaitMessage().ReplyBytewise(Answer(0x00), 600);
  auto reader = std::make_unique<FakeReader>(script);
  StdoutCapture out;
  EthernetUpdateComm link("127.0.0.1", reader->port());
  const uint8_t frame[64] = {};
  uint8_t buffer[64];
  ASSERT_TRUE(link.Send(frame, 64));
  const auto start = Clock::now();
  EXPECT_EQ(link.Receive(buffer, 64), 0);
  const double waited = SecondsSince(start);
  EXPECT_EQ(out.Take(), std::string("Connected to reader.\n\n") + kTimedOut);
  EXPECT_GE(waited, 4.9);
  EXPECT_LT(waited, 10.0);
  reader.reset();  // stops the drip; the link then closes at once
}

}  // namespace
}  // namespace modflash
