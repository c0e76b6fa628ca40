// readersim's reader-message parser and module model on arbitrary client
// bytes.
//
// Input: a flags byte (bit 0: the rest is raw stream bytes; otherwise
// items of type, length and payload that are framed as reader messages,
// with the module CRCs of 16- and 64-byte payloads made right when bit 1 is
// set, so that the fuzzer reaches the update loader), a chunk size for
// feeding the parser, then the bytes.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "link/reader_framing.h"
#include "tools/readersim/module_model.h"
#include "tools/readersim/reader_message.h"
#include "tools/readersim/simulator.h"

namespace sim = modflash::sim;
namespace framing = modflash::framing;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  modflash::fuzz::InputReader in(data, size);
  const uint8_t flags = in.Byte();
  const size_t chunk = in.Byte() % 64u + 1;
  std::vector<uint8_t> stream;
  std::vector<sim::ReaderMessage> framed;
  size_t got = 0;
  if (flags & 1) {
    const uint8_t* raw = in.Bytes(size, got);
    stream.assign(raw, raw + got);
  } else {
    while (!in.empty()) {
      const uint8_t type = in.Byte();
      const uint8_t* p = in.Bytes(in.Byte(), got);
      std::vector<uint8_t> payload(p, p + got);
      if ((flags & 2) && payload.size() == 16)
        sim::StoreCrc(payload.data(), 14);
      if ((flags & 2) && payload.size() == 64)
        sim::StoreCrc(payload.data(), 62);
      const sim::Bytes m =
          sim::BuildReaderMessage(type, payload.data(), payload.size());
      stream.insert(stream.end(), m.begin(), m.end());
      framed.push_back({type, std::move(payload)});
    }
  }

  // One module for all inputs, each input a new connection to it, as
  // readersim keeps its module's flash and rate from one connection to the
  // next (and a fresh 200 KiB flash per input would cost more than the rest).
  static sim::SimOptions options = [] {
    sim::SimOptions o;
    o.completeRestartMs = 0;
    o.prepareRestartMs = 0;
    return o;
  }();
  static sim::ModuleModel module(options);
  module.Reset();
  sim::ReaderMessageParser parser;
  sim::Clock::time_point now{};
  size_t taken = 0;
  for (size_t at = 0; at < stream.size(); at += chunk) {
    const size_t n = std::min(chunk, stream.size() - at);
    parser.Feed(stream.data() + at, n);
    sim::ReaderMessage message;
    std::string reason;
    for (;;) {
      const auto result = parser.Next(message, reason);
      if (result == sim::ReaderMessageParser::Result::kNeedMore) break;
      if (result == sim::ReaderMessageParser::Result::kRefused) {
        FUZZ_CHECK(!reason.empty(), "a refusal says why");
        continue;
      }
      if (!(flags & 1)) {
        FUZZ_CHECK(taken < framed.size() &&
                       framed[taken].type == message.type &&
                       framed[taken].payload == message.payload,
                   "a framed message comes out as it went in");
      }
      ++taken;
      FUZZ_CHECK(
          message.payload.size() + framing::kOverhead <= sim::kMaxMessageLength,
          "no message beyond the receive buffer");
      sim::DescribeMessage(message.type, message.payload);
      now += std::chrono::milliseconds(10);
      if (message.type == sim::kTypeSetBaudRate && !message.payload.empty()) {
        const int32_t rate = sim::RateForCode(message.payload[0]);
        if (rate != 0) module.ChangeRate(rate);
      } else if (message.type == sim::kTypeModuleData) {
        std::string why;
        const auto answers = module.Handle(message.payload.data(),
                                           message.payload.size(), now, why);
        FUZZ_CHECK(!answers.empty() || !why.empty(),
                   "an unanswered frame says why");
        for (const auto& a : answers) {
          FUZZ_CHECK(a.size() + framing::kOverhead <= sim::kMaxMessageLength,
                     "answers fit a reader message");
          sim::DescribeMessage(sim::kTypeModuleData, a);
        }
      }
    }
  }
  FUZZ_CHECK(module.flash().size() == sim::kFlashSize,
             "the flash keeps its size");
  // A well-framed stream is taken whole: every message it holds comes out.
  if (!(flags & 1)) {
    FUZZ_CHECK(taken == framed.size() && parser.buffered() == 0,
               "a framed stream is taken whole");
  }
  return 0;
}
