#include "link/ethernet_update_comm.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/loopback_server.h"
#include "tests/support/capture.h"
#include "tests/support/fake_reader.h"
#include "tests/support/ports.h"

namespace modflash {
namespace {

using testing::FakeReader;
using testing::FakeReaderScript;
using testing::ReaderMessage;
using testing::StdoutCapture;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr char kConnected[] = "Connected to reader.\n\n";

// The module's version query frame (command 0x60) with its CRC.
const Bytes kVersionFrame = {0x43, 0x49, 0x54, 0x4D, 0xFF, 0x60, 0x00, 0x00,
                             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD0, 0xF9};

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Pattern(size_t size, uint8_t start) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(start + i);
  return bytes;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Connects a link to `reader`, checking the connection line.
std::unique_ptr<EthernetUpdateComm> ConnectTo(const FakeReader& reader) {
  StdoutCapture out;
  auto link = std::make_unique<EthernetUpdateComm>("127.0.0.1", reader.port());
  EXPECT_EQ(out.Take(), kConnected);
  return link;
}

// A port on which nobody listens.
TEST(EthernetUpdateCommTest, OutgoingMessagesAreByteExact) {
  FakeReaderScript script;
  script.AwaitMessage()
      .Reply(ReaderMessage(Reader_BaudRate, {3}))
      .AwaitMessage()
      .Reply(ReaderMessage(Reader_BaudRate, {0}))
      .AwaitMessage()
      .Reply(ReaderMessage(Reader_SetBaudRateResult, {1}))
      .AwaitMessage()
      .Reply(ReaderMessage(Reader_SetBaudRateResult, {1}))
      .AwaitMessage()
      .AwaitMessage();
  FakeReader reader(script);
  auto link = ConnectTo(reader);

  StdoutCapture out;
  int32_t rate = 0;
  EXPECT_TRUE(link->GetBaudRate(rate));
  EXPECT_EQ(rate, 921600);
  EXPECT_TRUE(link->GetBaudRate(rate));
  EXPECT_EQ(rate, 115200);
  EXPECT_TRUE(link->SetBaudRate(115200));
  EXPECT_TRUE(link->SetBaudRate(921600));
  EXPECT_TRUE(link->Send(kVersionFrame.data(), 16));
  const Bytes packet = Pattern(64, 0);
  EXPECT_TRUE(link->Send(packet.data(), 64));
  link->Disconnect();
  EXPECT_EQ(out.Take(), "");

  const Bytes getRate = {0xB9, 0x9B, 0x00, 0x08, 0x38, 0x30, 0x0D, 0x0A};
  const Bytes set115200 = {0xB9, 0x9B, 0x00, 0x09, 0x3A,
                           0x00, 0x33, 0x0D, 0x0A};
  const Bytes set921600 = {0xB9, 0x9B, 0x00, 0x09, 0x3A,
                           0x03, 0x30, 0x0D, 0x0A};
  const Bytes frameMessage = {0xB9, 0x9B, 0x00, 0x18, 0xFA, 0x43, 0x49, 0x54,
                              0x4D, 0xFF, 0x60, 0x00, 0x00, 0x00, 0x00, 0x00,
                              0x00, 0x00, 0x00, 0xD0, 0xF9, 0x47, 0x0D, 0x0A};
  // The bytes 0..63 cancel out in the check byte: 0x00 ^ 0x48 ^ 0xFA.
  const Bytes packetMessage =
      Concat({{0xB9, 0x9B, 0x00, 0x48, 0xFA}, packet, {0xB2, 0x0D, 0x0A}});
  ASSERT_EQ(packetMessage.size(), 72u);
  EXPECT_EQ(reader.Finish(), Concat({getRate, getRate, set115200, set921600,
                                     frameMessage, packetMessage}));
  EXPECT_TRUE(reader.completed());
}

TEST(EthernetUpdateCommTest, BaudRateAnswersThatFail) {
  FakeReaderScript script;
  script.AwaitMessage()
      .Reply(ReaderMessage(Reader_SetBaudRateResult, {1}))  // wrong type
      .AwaitMessage()
      .Reply(ReaderMessage(Reader_BaudRate, {4}))  // no such code
      .AwaitMessage()
      .Reply(ReaderMessage(Reader_BaudRate, {}))  // no payload
      .AwaitMessage()
      .Reply(ReaderMessage(Reader_SetBaudRateResult, {0}))  // not set
      .AwaitMessage()
      .Reply(ReaderMessage(Reader_BaudRate, {1}))  // wrong type
      .AwaitMessage()
      .Reply(ReaderMessage(Reader_BaudRate, {2}));
  FakeReader reader(script);
  auto link = ConnectTo(reader);

  int32_t rate = 7;
  for (int i = 0; i < 3; ++i) {
    StdoutCapture out;
    EXPECT_FALSE(link->GetBaudRate(rate));
    EXPECT_EQ(out.Take(), "Unexpected response from GetBaudRate)");
    EXPECT_EQ(rate, 7);
  }
  {
    StdoutCapture out;
    EXPECT_FALSE(link->SetBaudRate(115200));
    EXPECT_EQ(out.Take(), "Set baud rate failed.\n");
  }
  {
    StdoutCapture out;
    EXPECT_FALSE(link->SetBaudRate(230400));
    EXPECT_EQ(out.Take(), "Unexpected response from SetBaudRate\n");
  }
  {
    StdoutCapture out;
    EXPECT_FALSE(link->SetBaudRate(57600));
    EXPECT_FALSE(link->SetBaudRate(0));
    EXPECT_EQ(out.Take(),
              "Invalid baud rate setting\nInvalid baud rate setting\n");
  }
  // Still in step with the reader.
  EXPECT_TRUE(link->GetBaudRate(rate));
  EXPECT_EQ(rate, 460800);
  link->Disconnect();

  const Bytes getRate = ReaderMessage(Reader_GetBaudRate, {});
  // Nothing went out for the refused rates.
  EXPECT_EQ(
      reader.Finish(),
      Concat({getRate, getRate, getRate, ReaderMessage(Reader_SetBaudRate, {0}),
              ReaderMessage(Reader_SetBaudRate, {1}), getRate}));
  EXPECT_TRUE(reader.completed());
}

TEST(EthernetUpdateCommTest, FailedReceiveIsNotJudgedByTheLastAnswer) {
  const Bytes tooShort = {0xB9, 0x9B, 0x00, 0x04};
  FakeReaderScript script;
  script.AwaitMessage()
      .Reply(ReaderMessage(Reader_BaudRate, {3}))
      .AwaitMessage()
      .Reply(tooShort)
      .AwaitMessage()
      .Reply(ReaderMessage(Reader_SetBaudRateResult, {1}))
      .AwaitMessage()
      .Reply(tooShort);
  FakeReader reader(script);
  auto link = ConnectTo(reader);

  int32_t rate = 0;
  ASSERT_TRUE(link->GetBaudRate(rate));
  rate = -5;
  {
    StdoutCapture out;
    EXPECT_FALSE(link->GetBaudRate(rate));
    EXPECT_EQ(out.Take(),
              "Error receiving message from reader. Invalid length 4.\n");
  }
  EXPECT_EQ(rate, -5);
  ASSERT_TRUE(link->SetBaudRate(921600));
  {
    StdoutCapture out;
    EXPECT_FALSE(link->SetBaudRate(921600));
    EXPECT_EQ(out.Take(),
              "Error receiving message from reader. Invalid length 4.\n");
  }
  link->Disconnect();
  reader.Finish();
  EXPECT_TRUE(reader.completed());
}

TEST(EthernetUpdateCommTest, ReceiveReadsWholeFragmentedOddAndCutMessages) {
  const Bytes answer = Pattern(16, 0x10);
  Bytes highLength = ReaderMessage(Reader_ModuleData, Pattern(16, 0x40));
  highLength[2] = 0x01;  // announces 0x0118; only the low byte counts
  const Bytes oversize = Pattern(100, 0x80);
  const Bytes small = {1, 2, 3, 4, 5};
  const Bytes whole = ReaderMessage(Reader_ModuleData, answer);
  FakeReaderScript script;
  script.Reply(ReaderMessage(Reader_ModuleData, answer))
      .ReplyBytewise(ReaderMessage(Reader_ModuleData, Pattern(16, 0x20)))
      .Reply(highLength)
      .Reply(ReaderMessage(Reader_ModuleData, oversize))
      .Reply(ReaderMessage(Reader_ModuleData, small))
      .Reply({0xB9, 0x9B, 0x00, 0x04})
      .Reply({0xB9, 0x9B, 0x00, 0x06, 0x39, 0x00})
      .Reply(ReaderMessage(0x42, {9, 8, 7}))
      .Reply(ReaderMessage(Reader_ModuleData, {}))
      .Reply(Bytes(whole.begin(), whole.begin() + 10))
      .CloseConnection();
  FakeReader reader(script);
  auto link = ConnectTo(reader);

  uint8_t buffer[80];
  auto payload = [&buffer](int32_t count) {
    return Bytes(buffer, buffer + count);
  };
  StdoutCapture out;
  ASSERT_EQ(link->Receive(buffer, 64), 16);
  EXPECT_EQ(payload(16), answer);
  ASSERT_EQ(link->Receive(buffer, 64), 16);
  EXPECT_EQ(payload(16), Pattern(16, 0x20));
  ASSERT_EQ(link->Receive(buffer, 64), 16);
  EXPECT_EQ(payload(16), Pattern(16, 0x40));
  // Cut at the caller's area; the area's end stays untouched.
  std::fill(std::begin(buffer), std::end(buffer), uint8_t{0xEE});
  ASSERT_EQ(link->Receive(buffer, 64), 64);
  EXPECT_EQ(payload(64), Bytes(oversize.begin(), oversize.begin() + 64));
  EXPECT_EQ(Bytes(buffer + 64, buffer + 80), Bytes(16, 0xEE));
  ASSERT_EQ(link->Receive(buffer, 64), 5);
  EXPECT_EQ(payload(5), small);
  EXPECT_EQ(out.Take(), "");

  StdoutCapture bad;
  EXPECT_EQ(link->Receive(buffer, 64), 0);
  EXPECT_EQ(link->Receive(buffer, 64), 0);
  ASSERT_EQ(link->Receive(buffer, 64), 3);  // the type is not looked at
  EXPECT_EQ(payload(3), Bytes({9, 8, 7}));
  EXPECT_EQ(link->Receive(buffer, 64), 0);  // an empty payload
  EXPECT_EQ(link->Receive(buffer, 64), 0);  // cut off by the close
  EXPECT_EQ(link->Receive(buffer, 64), 0);
  EXPECT_EQ(bad.Take(),
            "Error receiving message from reader. Invalid length 4.\n"
            "Error receiving message from reader. Invalid length 6.\n"
            "Error receiving message from reader. Incomplete message.\n"
            "Error receiving message from reader. Connection closed.\n");
  link.reset();
  reader.Finish();
  EXPECT_TRUE(reader.completed());
}

// Messages that arrive together are taken one at a time; what is left of
// them when the next request goes out cannot be its answer and is thrown
// away, however it was received.
TEST(EthernetUpdateCommTest, MessagesArrivingTogetherAreTakenOneByOne) {
  auto message = [](uint8_t start) {
    return ReaderMessage(Reader_ModuleData, Pattern(12, start));
  };
  const Bytes third = message(0x30);
  FakeReaderScript script;
  script
      .Reply(Concat({message(0x10), message(0x20),
                     Bytes(third.begin(), third.begin() + 7)}))
      .Pause(100)
      .Reply(Bytes(third.begin() + 7, third.end()))
      .Pause(100)
      .Reply(Concat({message(0x40), message(0x50)}))
      .AwaitMessage()
      .Reply(message(0x60))
      .CloseConnection();
  FakeReader reader(script);
  auto link = ConnectTo(reader);

  uint8_t buffer[64];
  StdoutCapture out;
  for (const uint8_t start : Bytes{0x10, 0x20, 0x30, 0x40}) {
    ASSERT_EQ(link->Receive(buffer, 64), 12);
    EXPECT_EQ(Bytes(buffer, buffer + 12), Pattern(12, start));
  }
  EXPECT_EQ(link->Anomalies().strayInput, 0u);
  const Bytes request = {0x55};
  ASSERT_TRUE(link->Send(request.data(), 1));
  EXPECT_EQ(link->Anomalies().strayInput, 1u);
  ASSERT_EQ(link->Receive(buffer, 64), 12);
  EXPECT_EQ(Bytes(buffer, buffer + 12), Pattern(12, 0x60));
  EXPECT_EQ(out.Take(), "");
  link.reset();
  EXPECT_EQ(reader.Finish(), ReaderMessage(Reader_ModuleData, request));
  EXPECT_TRUE(reader.completed());
}

TEST(EthernetUpdateCommTest, HeaderCutOffByClose) {
  FakeReaderScript script;
  script.Reply({0xB9, 0x9B}).CloseConnection();
  FakeReader reader(script);
  auto link = ConnectTo(reader);
  uint8_t buffer[64];
  StdoutCapture out;
  EXPECT_EQ(link->Receive(buffer, 64), 0);
  EXPECT_EQ(out.Take(),
            "Error receiving message from reader. Incomplete message.\n");
}

TEST(EthernetUpdateCommTest, SendAfterReaderClosedFailsWithoutSignal) {
  FakeReaderScript script;
  script.AwaitMessage().CloseConnection();
  FakeReader reader(script);
  auto link = ConnectTo(reader);
  ASSERT_TRUE(link->Send(kVersionFrame.data(), 16));
  uint8_t buffer[64];
  {
    StdoutCapture out;
    EXPECT_EQ(link->Receive(buffer, 64), 0);
    EXPECT_EQ(out.Take(),
              "Error receiving message from reader. Connection closed.\n");
  }
  reader.Finish();
  // The first write after the close may still be taken; the reader's reset
  // makes a later one fail.
  std::string failure;
  for (int i = 0; i < 100 && failure.empty(); ++i) {
    StdoutCapture out;
    const bool sent = link->Send(kVersionFrame.data(), 16);
    failure = out.Take();
    EXPECT_EQ(sent, failure.empty());
    if (sent) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(failure, "Error sending message to reader. Error #10054.\n");
}

TEST(EthernetUpdateCommTest, RefusedBadAddressAndUnconnectedLink) {
  // Holding the layer keeps the error numbers of the unconnected link those
  // of an invalid socket on every platform.
  net::SocketLayerSession session;
  ASSERT_TRUE(session.ok());
  const std::string refusedText = net::SystemErrorText(10061);
  ASSERT_GT(refusedText.size(), 1u);
  EXPECT_EQ(refusedText.back(), '\n');

  StdoutCapture out;
  EthernetUpdateComm refused("127.0.0.1", testing::FreeLoopbackPort());
  EXPECT_EQ(out.Take(),
            "Failed to connect to reader. Error (10061) " + refusedText + "\n");

  // A text that does not parse stands for 0.0.0.0, which Winsock (and the
  // POSIX layer after it) refuses with 10049. Wine passes 0.0.0.0 on to its
  // host, where it means this machine: the closed port then refuses (10061).
  StdoutCapture badOut;
  EthernetUpdateComm bad("reader.local", testing::FreeLoopbackPort());
  const std::string badLine = badOut.Take();
  const std::string prefix = "Failed to connect to reader. Error (";
  ASSERT_EQ(badLine.compare(0, prefix.size(), prefix), 0) << badLine;
  const int code = std::atoi(badLine.c_str() + prefix.size());
  EXPECT_TRUE(code == 10049 || code == 10061) << code;
  EXPECT_EQ(badLine, prefix + std::to_string(code) + ") " +
                         net::SystemErrorText(code) + "\n");

  for (EthernetUpdateComm* link : {&refused, &bad}) {
    const std::string sendFailure =
        "Error sending message to reader. Error #10038.\n";
    StdoutCapture ops;
    EXPECT_FALSE(link->Send(kVersionFrame.data(), 16));
    int32_t rate = 3;
    EXPECT_FALSE(link->GetBaudRate(rate));
    EXPECT_EQ(rate, 3);
    EXPECT_FALSE(link->SetBaudRate(115200));
    EXPECT_FALSE(link->SetBaudRate(57600));
    uint8_t buffer[64];
    EXPECT_EQ(link->Receive(buffer, 64), 0);
    EXPECT_FALSE(link->SetLinkBaudRate(115200));
    link->SetQuietMode(true);
    link->Delay(0);
    link->Disconnect();
    EXPECT_EQ(ops.Take(),
              sendFailure + sendFailure + sendFailure +
                  "Invalid baud rate setting\n"
                  "Error receiving message from reader. Error #10038.\n");
  }
}

TEST(EthernetUpdateCommTest, DisconnectClosesGracefullyOnceAndForAll) {
  FakeReaderScript script;
  // An answer nobody reads: the close discards it.
  script.Reply(ReaderMessage(Reader_ModuleData, Pattern(16, 0)));
  FakeReader reader(script);
  StdoutCapture connectOut;
  // Only the low 16 bits of the port count.
  EthernetUpdateComm link("127.0.0.1", 0x10000 + reader.port());
  EXPECT_EQ(connectOut.Take(), kConnected);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));

  StdoutCapture out;
  const auto start = Clock::now();
  link.Disconnect();
  EXPECT_LT(SecondsSince(start), 5.0);  // far from the 15 s give-up
  link.Disconnect();
  EXPECT_EQ(out.Take(), "");
  EXPECT_EQ(reader.Finish(), Bytes());
  EXPECT_TRUE(reader.completed());

  StdoutCapture after;
  EXPECT_FALSE(link.Send(kVersionFrame.data(), 16));
  EXPECT_EQ(after.Take(), "Error sending message to reader. Error #10038.\n");
}

TEST(EthernetUpdateCommTest, DestroyingAConnectedLinkClosesIt) {
  FakeReaderScript script;
  script.AwaitMessage();
  FakeReader reader(script);
  {
    auto link = ConnectTo(reader);
    ASSERT_TRUE(link->Send(kVersionFrame.data(), 16));
    StdoutCapture out;
    link.reset();
    EXPECT_EQ(out.Take(), "");
  }
  const auto start = Clock::now();
  EXPECT_EQ(reader.Finish().size(), 24u);
  EXPECT_LT(SecondsSince(start), 5.0);  // far from the 15 s give-up
  EXPECT_TRUE(reader.completed());
}

// Slow: two reads that wait out the 5000 ms receive time-out.
TEST(EthernetUpdateCommTest, SlowReceiveTimesOutWith10060) {
  const Bytes answer = ReaderMessage(Reader_ModuleData, Pattern(16, 0x30));
  FakeReaderScript script;
  script.AwaitMessage()
      .Reply(ReaderMessage(Reader_BaudRate, {1}))
      .AwaitMessage()  // no answer
      .AwaitMessage()
      .Reply(Bytes(answer.begin(), answer.begin() + 10))  // then silence
      .AwaitMessage()
      .Reply(answer);
  FakeReader reader(script);
  auto link = ConnectTo(reader);
  const std::string timedOut =
      "Error receiving message from reader. Error #10060.\n";

  int32_t rate = 0;
  ASSERT_TRUE(link->GetBaudRate(rate));
  EXPECT_EQ(rate, 230400);
  {
    StdoutCapture out;
    const auto start = Clock::now();
    EXPECT_FALSE(link->GetBaudRate(rate));
    const double waited = SecondsSince(start);
    EXPECT_EQ(out.Take(), timedOut);  // and no judgement of the last answer
    EXPECT_GE(waited, 4.9);
    EXPECT_LT(waited, 9.0);  // one time-out, not two
  }
  EXPECT_EQ(rate, 230400);

  uint8_t buffer[64];
  ASSERT_TRUE(link->Send(kVersionFrame.data(), 16));
  {
    StdoutCapture out;
    const auto start = Clock::now();
    EXPECT_EQ(link->Receive(buffer, 64), 0);
    EXPECT_GE(SecondsSince(start), 4.9);
    EXPECT_EQ(out.Take(), timedOut);
  }
  // The next answer is read from its start.
  ASSERT_TRUE(link->Send(kVersionFrame.data(), 16));
  ASSERT_EQ(link->Receive(buffer, 64), 16);
  EXPECT_EQ(Bytes(buffer, buffer + 16), Pattern(16, 0x30));
  link->Disconnect();
  reader.Finish();
  EXPECT_TRUE(reader.completed());
}

// Slow: a reader that never closes its side holds Disconnect for 15 s.
TEST(EthernetUpdateCommTest, SlowDisconnectGivesUpAfterFifteenSeconds) {
  FakeReaderScript script;
  script.HoldOpen(25000);
  FakeReader reader(script);
  auto link = ConnectTo(reader);

  StdoutCapture out;
  const auto start = Clock::now();
  link->Disconnect();
  const double waited = SecondsSince(start);
  link->Disconnect();
  link.reset();
  EXPECT_EQ(out.Take(), "Smooth socket shutdown process failed.\n");
  EXPECT_GE(waited, 14.9);
  EXPECT_LT(waited, 22.0);  // gave up before the reader's 25 s hold ended
}

}  // namespace
}  // namespace modflash
