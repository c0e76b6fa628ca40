#include "tools/readersim/reader_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace modflash::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using Result = ReaderMessageParser::Result;

TEST(ReaderMessage, BuildsTheReaderFraming) {
  EXPECT_EQ(BuildReaderMessage(0x38, nullptr, 0),
            (Bytes{0xB9, 0x9B, 0x00, 0x08, 0x38, 0x30, 0x0D, 0x0A}));
  const uint8_t code = 3;
  EXPECT_EQ(BuildReaderMessage(0x3A, &code, 1),
            (Bytes{0xB9, 0x9B, 0x00, 0x09, 0x3A, 0x03, 0x30, 0x0D, 0x0A}));
  const Bytes frame = {0x43, 0x49, 0x54, 0x4D, 0xFF, 0x60, 0,    0,
                       0,    0,    0,    0,    0,    0,    0xD0, 0xF9};
  const Bytes message = BuildReaderMessage(0xFA, frame.data(), frame.size());
  ASSERT_EQ(message.size(), 24u);
  EXPECT_EQ(message[21], 0x47);
}

TEST(ReaderMessage, ParsesMessagesDeliveredInPieces) {
  const uint8_t payload[3] = {1, 2, 3};
  Bytes stream = BuildReaderMessage(0xFA, payload, 3);
  const Bytes second = BuildReaderMessage(0x38, nullptr, 0);
  stream.insert(stream.end(), second.begin(), second.end());

  ReaderMessageParser parser;
  ReaderMessage message;
  std::string reason;
  std::vector<ReaderMessage> got;
  for (const uint8_t b : stream) {
    parser.Feed(&b, 1);
    while (parser.Next(message, reason) == Result::kMessage) {
      got.push_back(message);
    }
  }
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].type, 0xFA);
  EXPECT_EQ(got[0].payload, (Bytes{1, 2, 3}));
  EXPECT_EQ(got[1].type, 0x38);
  EXPECT_TRUE(got[1].payload.empty());
  EXPECT_EQ(parser.buffered(), 0u);
}

// Feeds `bad` then a good message; expects one refusal whose reason holds
// `why`, then the good message.
void ExpectRefusedThenRecovers(const Bytes& bad, const std::string& why) {
  ReaderMessageParser parser;
  Bytes stream = bad;
  const Bytes good = BuildReaderMessage(0x38, nullptr, 0);
  stream.insert(stream.end(), good.begin(), good.end());
  parser.Feed(stream.data(), stream.size());
  ReaderMessage message;
  std::string reason;
  int refusals = 0;
  Result result;
  while ((result = parser.Next(message, reason)) == Result::kRefused) {
    // The first refusal names the fault; dropping the rest may add more.
    if (++refusals == 1) {
      EXPECT_NE(reason.find(why), std::string::npos) << reason;
    }
  }
  EXPECT_GE(refusals, 1);
  ASSERT_EQ(result, Result::kMessage);
  EXPECT_EQ(message.type, 0x38);
}

TEST(ReaderMessage, RefusesWhatDoesNotParseAndResynchronises) {
  Bytes badCheck = BuildReaderMessage(0x38, nullptr, 0);
  badCheck[5] ^= 0x01;
  ExpectRefusedThenRecovers(badCheck, "check byte 31, expected 30");

  Bytes noCrLf = BuildReaderMessage(0x38, nullptr, 0);
  noCrLf[7] = 0x00;
  ExpectRefusedThenRecovers(noCrLf, "no CR LF");

  ExpectRefusedThenRecovers({0xB9, 0x9B, 0x00, 0x05, 0x38}, "length 5");
  ExpectRefusedThenRecovers({0xB9, 0x9B, 0x04, 0x01}, "length 1025");
  ExpectRefusedThenRecovers({0x00, 0x11, 0xB9, 0x00}, "no message start");
}

// The simulator's parser takes back whatever the link's framing makes: every
// type the two speak and others, payloads from empty to the longest the
// simulated reader accepts, one after another in a single stream.
TEST(ReaderMessage, ParsesWhatTheLinkFramesForEveryType) {
  const std::vector<uint8_t> types = {framing::kGetBaudRate,
                                      framing::kBaudRate,
                                      framing::kSetBaudRate,
                                      framing::kSetBaudRateResult,
                                      framing::kModuleData,
                                      0x00,
                                      0x77,
                                      0xFF};
  const std::vector<size_t> lengths = {0, 1, 16, 64,
                                       kMaxMessageLength - framing::kOverhead};
  Bytes stream;
  std::vector<ReaderMessage> sent;
  for (const uint8_t type : types) {
    for (const size_t length : lengths) {
      ReaderMessage m;
      m.type = type;
      for (size_t i = 0; i < length; ++i) {
        m.payload.push_back(static_cast<uint8_t>(i * 7 + type));
      }
      Bytes framed(length + framing::kOverhead);
      ASSERT_EQ(framing::Frame(type, m.payload.data(), length, framed.data()),
                framed.size());
      stream.insert(stream.end(), framed.begin(), framed.end());
      sent.push_back(m);
    }
  }
  ReaderMessageParser parser;
  parser.Feed(stream.data(), stream.size());
  ReaderMessage got;
  std::string reason;
  for (const ReaderMessage& m : sent) {
    ASSERT_EQ(parser.Next(got, reason), Result::kMessage) << reason;
    EXPECT_EQ(got.type, m.type);
    EXPECT_EQ(got.payload, m.payload) << int{m.type};
  }
  EXPECT_EQ(parser.Next(got, reason), Result::kNeedMore);

  // One byte more than the receive buffer holds is refused.
  const Bytes tooLong(kMaxMessageLength - framing::kOverhead + 1, 0);
  Bytes framed(tooLong.size() + framing::kOverhead);
  framing::Frame(framing::kModuleData, tooLong.data(), tooLong.size(),
                 framed.data());
  parser.Feed(framed.data(), framed.size());
  EXPECT_EQ(parser.Next(got, reason), Result::kRefused);
  EXPECT_NE(reason.find("length 1025"), std::string::npos) << reason;
}

TEST(ReaderMessage, WaitsForTheRestOfALongMessage) {
  const Bytes payload(300, 0xAB);
  const Bytes message =
      BuildReaderMessage(0xFA, payload.data(), payload.size());
  EXPECT_EQ(message[2], 0x01);
  EXPECT_EQ(message[3], 0x34);
  ReaderMessageParser parser;
  parser.Feed(message.data(), message.size() - 1);
  ReaderMessage got;
  std::string reason;
  EXPECT_EQ(parser.Next(got, reason), Result::kNeedMore);
  parser.Feed(&message.back(), 1);
  ASSERT_EQ(parser.Next(got, reason), Result::kMessage);
  EXPECT_EQ(got.payload, payload);
}

}  // namespace
}  // namespace modflash::sim
