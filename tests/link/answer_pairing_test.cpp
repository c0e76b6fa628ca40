// Pairing answers with their requests by the flash address the module
// echoes: learnt from the run, never proven by a module that does not echo.

#include "link/answer_pairing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace modflash {
namespace {

using Bytes = std::vector<uint8_t>;
using Verdict = AnswerPairing::Verdict;

constexpr uint32_t kBase = 0x404000;

// A 64-byte update packet carrying `address` at bytes 13-16.
Bytes Request(uint32_t address) {
  Bytes p(64, 0);
  p[0] = 0x55;
  for (int i = 0; i < 4; ++i) {
    p[static_cast<size_t>(13 + i)] =
        static_cast<uint8_t>((address >> (8 * i)) & 0xFF);
  }
  return p;
}

// A 20-byte Status answer with `address` at bytes 13-16.
Bytes Answer(uint32_t address) {
  Bytes a = Request(address);
  a.resize(20);
  a[0] = 'S';
  return a;
}

Verdict Exchange(AnswerPairing& p, uint32_t request, uint32_t answered,
                 bool trusted = false) {
  const Bytes r = Request(request);
  p.NoteRequest(r.data(), 64);
  const Bytes a = Answer(answered);
  return p.Judge(a.data(), 20, trusted);
}

// The enter packet (address 0) and three slices prove the echo; from then
// on an answer with another address is a stray, the right one is taken.
TEST(AnswerPairingTest, EchoIsProvenByFourAnswersThenDecides) {
  AnswerPairing p;
  EXPECT_EQ(Exchange(p, 0, 0), Verdict::kTake);
  EXPECT_EQ(Exchange(p, kBase, kBase), Verdict::kTake);
  EXPECT_EQ(Exchange(p, kBase + 32, kBase + 32), Verdict::kTake);
  EXPECT_FALSE(p.proven());
  // A retry of the same slice does not count twice.
  EXPECT_EQ(Exchange(p, kBase + 32, kBase + 32), Verdict::kTake);
  EXPECT_FALSE(p.proven());
  EXPECT_EQ(Exchange(p, kBase + 64, kBase + 64), Verdict::kTake);
  EXPECT_TRUE(p.proven());
  EXPECT_FALSE(p.TakeDoubtBeforeProof());
  const Bytes r = Request(kBase + 96);
  p.NoteRequest(r.data(), 64);
  for (const uint32_t wrong : {kBase + 64, 0u, kBase + 128, 0x5AA5C33Cu}) {
    const Bytes a = Answer(wrong);
    EXPECT_EQ(p.Judge(a.data(), 20, true), Verdict::kStray) << wrong;
  }
  const Bytes own = Answer(kBase + 96);
  EXPECT_EQ(p.Judge(own.data(), 20, false), Verdict::kTake);
  // Update_Complete carries 0: its answer must too.
  EXPECT_EQ(Exchange(p, 0, kBase + 96), Verdict::kStray);
  // A short answer has nothing to judge by and accepts nothing.
  const Bytes shortAnswer(8, 'S');
  EXPECT_EQ(p.Judge(shortAnswer.data(), 8, false), Verdict::kTake);
}

// Zeros, a constant, random bytes or short answers never prove an echo, and
// every answer is taken: the check cannot fail such a module.
TEST(AnswerPairingTest, ModuleWithoutEchoNeverProvesItAndLosesNothing) {
  uint32_t state = 12345;
  for (int kind = 0; kind < 3; ++kind) {
    AnswerPairing p;
    for (uint32_t slice = 0; slice < 300; ++slice) {
      state = state * 1103515245u + 12345u;
      const uint32_t filled = kind == 0 ? 0 : kind == 1 ? 0x5AA5C33Cu : state;
      EXPECT_EQ(Exchange(p, slice == 0 ? 0 : kBase + 32 * slice, filled),
                Verdict::kTake)
          << "kind " << kind << " slice " << slice;
    }
    EXPECT_FALSE(p.proven()) << "kind " << kind;
    EXPECT_FALSE(p.TakeDoubtBeforeProof());
  }
  AnswerPairing shortOnly;
  for (uint32_t slice = 0; slice < 10; ++slice) {
    const Bytes r = Request(kBase + 32 * slice);
    shortOnly.NoteRequest(r.data(), 64);
    const Bytes a(17, 'S');  // one byte short of the address
    EXPECT_EQ(shortOnly.Judge(a.data(), 17, false), Verdict::kTake);
  }
  EXPECT_FALSE(shortOnly.proven());
}

// Before the proof, an answer with exactly the address of the request
// before is that request's (a duplicate, or a slip), unless the line settled
// before this request. One with another address is taken, and once the
// echo is proven the slices sent before are in doubt, once.
TEST(AnswerPairingTest, BeforeTheProofTheRequestBeforeIsAStray) {
  AnswerPairing p;
  EXPECT_EQ(Exchange(p, 0, 0), Verdict::kTake);
  EXPECT_EQ(Exchange(p, kBase, kBase), Verdict::kTake);
  EXPECT_EQ(Exchange(p, kBase + 32, kBase), Verdict::kStray);
  EXPECT_EQ(Exchange(p, kBase + 32, kBase, true), Verdict::kTake);
  EXPECT_FALSE(p.proven());
  // The request before was the enter packet (address 0): a module with
  // zeros there is not held up.
  AnswerPairing zeros;
  EXPECT_EQ(Exchange(zeros, 0, 0), Verdict::kTake);
  EXPECT_EQ(Exchange(zeros, kBase, 0), Verdict::kTake);
  // The doubt comes with the proof, after an answer taken with an address
  // other than its request's, and only once.
  for (uint32_t slice = 1; slice <= 4; ++slice) {
    EXPECT_EQ(Exchange(zeros, kBase + 32 * slice, kBase + 32 * slice),
              Verdict::kTake);
  }
  EXPECT_TRUE(zeros.proven());
  EXPECT_TRUE(zeros.TakeDoubtBeforeProof());
  EXPECT_FALSE(zeros.TakeDoubtBeforeProof());
  // Command frames (16 bytes) are not judged.
  const Bytes command(16, 0x43);
  zeros.NoteRequest(command.data(), 16);
  const Bytes a = Answer(0x12345678);
  EXPECT_EQ(zeros.Judge(a.data(), 16, false), Verdict::kTake);
}

}  // namespace
}  // namespace modflash
