// The selection of readers by glob and the order of versions.

#include "fleet/plan/select.h"

#include <gtest/gtest.h>

#include <string>

#include "fleet/transcript/judgement.h"

namespace modflash::fleet {
namespace {

TEST(GlobMatchTest, StarsAndQuestionMarks) {
  EXPECT_TRUE(GlobMatch("reader-*", "reader-12"));
  EXPECT_TRUE(GlobMatch("reader-?", "reader-1"));
  EXPECT_FALSE(GlobMatch("reader-?", "reader-12"));
  EXPECT_TRUE(GlobMatch("*:5001", "10.0.2.12:5001"));
  EXPECT_FALSE(GlobMatch("*:5001", "10.0.2.12:50011"));
  EXPECT_TRUE(GlobMatch("*", ""));
  EXPECT_FALSE(GlobMatch("?", ""));
  EXPECT_TRUE(GlobMatch("a*b*c", "a-x-b-y-c"));
  EXPECT_FALSE(GlobMatch("a*b*c", "a-x-c-y-b"));
  EXPECT_TRUE(GlobMatch("dock", "dock"));
  EXPECT_FALSE(GlobMatch("dock", "Dock"));
  // Many stars against a long text that never matches: bounded work.
  const std::string text(20000, 'a');
  EXPECT_FALSE(GlobMatch("*a*a*a*a*a*a*a*a*a*a*b", text));
  EXPECT_TRUE(GlobMatch("*a*a*a*a*a*a*a*a*a*a", text));
}

TEST(GlobMatchTest, SelectsByNameAndByHostAndAddress) {
  Reader a{"dock-1", "10.0.2.11", "10.0.2.11", 5000, 1, ""};
  Reader b{"dock-2", "gate.example", "10.0.2.12", 5001, 2, ""};
  Reader c{"gate-7", "10.0.2.13", "10.0.2.13", 5000, 3, ""};
  const std::vector<Reader> all = {a, b, c};
  const auto names = [](const std::vector<Reader>& readers) {
    std::string text;
    for (const Reader& r : readers) text += r.name + " ";
    return text;
  };
  EXPECT_EQ(names(SelectReaders(all, {}, {})), "dock-1 dock-2 gate-7 ");
  EXPECT_EQ(names(SelectReaders(all, {"dock-*"}, {})), "dock-1 dock-2 ");
  EXPECT_EQ(names(SelectReaders(all, {"gate.example:5001"}, {})), "dock-2 ");
  EXPECT_EQ(names(SelectReaders(all, {"10.0.2.12:*"}, {})), "dock-2 ");
  EXPECT_EQ(names(SelectReaders(all, {"dock-*", "gate-7"}, {"*:5001"})),
            "dock-1 gate-7 ");
  EXPECT_EQ(names(SelectReaders(all, {}, {"*"})), "");
}

TEST(CompareVersionsTest, MajorMinorPatchAndUnreadable) {
  EXPECT_EQ(CompareVersions("V1.2.3", "V1.2.3"), 0);
  EXPECT_EQ(CompareVersions("V1.10.0", "V1.9.9"), 1);
  EXPECT_EQ(CompareVersions("V1.2.3", "V2.0.0"), -1);
  EXPECT_EQ(CompareVersions("1.2.4", "V1.2.3"), 1);
  EXPECT_FALSE(CompareVersions("V1.2", "V1.2.3"));
  EXPECT_FALSE(CompareVersions("V1.2.3x", "V1.2.3"));
  EXPECT_FALSE(CompareVersions("", "V1.2.3"));
  EXPECT_FALSE(CompareVersions("V1.2.1234567", "V1.2.3"));
  EXPECT_TRUE(NewerThanImage("V2.0.0", "V1.2.3"));
  EXPECT_FALSE(NewerThanImage("V1.2.3", "V1.2.3"));
  // A version that cannot be read is never taken for newer.
  EXPECT_FALSE(NewerThanImage("V9.9", "V1.2.3"));
  EXPECT_FALSE(NewerThanImage("V2.0.0", ""));
}

}  // namespace
}  // namespace modflash::fleet
