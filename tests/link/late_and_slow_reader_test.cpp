// The link against readers that break the time-outs: stale and late answers
// must not be taken for the answer to a later request, and a reader that
// drips its bytes cannot stretch a message beyond one time-out.

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
  link.Disconnect();
  EXPECT_EQ(out.Take(), "Connected to reader.\n\n");
  reader.Finish();
  EXPECT_TRUE(reader.completed());
}

// A slice answer that comes 6 s late (a refusal) is caught before the retry,
// which then gets its own answer: nothing is read against the wrong packet.
TEST(LateAndSlowReaderTest, LateAnswerIsCaughtBeforeTheRetry) {
  FakeReaderScript script;
  script.AwaitMessage()
      .Pause(6000)
      .Reply(Answer(0x03))
      .AwaitMessage()
      .Reply(Answer(0x00));
  FakeReader reader(script);
  StdoutCapture out;
  UpdateController controller("127.0.0.1", reader.port());
  const uint8_t slice[32] = {};
  const auto start = Clock::now();
  EXPECT_FALSE(controller.SendCodePacket(kFlashBase, slice, 32, false));
  const double settled = SecondsSince(start);
  EXPECT_TRUE(controller.SendCodePacket(kFlashBase, slice, 32, false));
  controller.CloseLink();
  EXPECT_EQ(out.Take(), std::string("Connected to reader.\n\n") + kTimedOut +
                            "Error reading packet in SendCodePacket\n");
  // 5 s time-out, the late answer at 6 s, then 2 s of quiet.
  EXPECT_GE(settled, 7.9);
  EXPECT_LT(settled, 14.0);
  reader.Finish();
  EXPECT_TRUE(reader.completed());
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
