#include "image/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace modflash {
namespace {

std::string Hex(const std::string& text) {
  return Sha256Hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// The examples of FIPS 180-2, appendix B, and the empty message.
TEST(Sha256Test, MatchesTheStandardsExamples) {
  EXPECT_EQ(Hex("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(Hex(""),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// Pieces of every size around the block and padding boundaries give the
// digest of the whole.
TEST(Sha256Test, PiecesGiveTheDigestOfTheWhole) {
  std::vector<uint8_t> bytes(300);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  }
  for (const size_t length : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 300u}) {
    const std::array<uint8_t, 32> whole = [&] {
      Sha256 h;
      h.Add(bytes.data(), length);
      return h.Finish();
    }();
    for (const size_t piece : {1u, 3u, 17u, 64u}) {
      Sha256 h;
      for (size_t at = 0; at < length; at += piece) {
        h.Add(bytes.data() + at, std::min(piece, length - at));
      }
      EXPECT_EQ(h.Finish(), whole) << length << " in pieces of " << piece;
    }
  }
}

}  // namespace
}  // namespace modflash
