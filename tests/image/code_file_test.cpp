#include "image/code_file.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/capture.h"
#include "tests/support/temp_dir.h"

namespace modflash::testing {
namespace {

class CodeFileTest : public ::testing::Test {
 protected:
  // Reads `path` into buffer_, starting from versions 7.7.7 so that an
  // untouched output is visible.
  bool Read(const std::string& path, std::string* printed) {
    major_ = minor_ = patch_ = 7;
    StdoutCapture capture;
    const bool ok =
        ReadCodeFile(path, buffer_.data(), kCodeSize, major_, minor_, patch_);
    *printed = capture.Take();
    return ok;
  }

  TempDir dir_;
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(kCodeSize);
  uint8_t major_ = 0, minor_ = 0, patch_ = 0;
};

TEST_F(CodeFileTest, ValidImageFillsTheBufferAndTheVersionInByteOrder) {
  std::vector<uint8_t> image = MakeImage(1, 2, 3);
  image[204764] = 0xEE;  // not part of the version
  const std::string path = dir_.Write("ok.bin", image);
  std::string printed;
  ASSERT_TRUE(Read(path, &printed));
  EXPECT_EQ(printed, "");
  EXPECT_EQ(buffer_, image);
  EXPECT_EQ(major_, 1);
  EXPECT_EQ(minor_, 2);
  EXPECT_EQ(patch_, 3);
}

TEST_F(CodeFileTest, EveryFailureLeavesTheVersionUntouched) {
  std::string printed;
  EXPECT_FALSE(Read((dir_.path() / "none.bin").string(), &printed));
  EXPECT_EQ(printed,
            "File failed to open or does not exist\n"
            "Did not read code file correctly\n");
  EXPECT_EQ(major_ * 100 + minor_ * 10 + patch_, 777);

  // One byte too many, although the first 204800 would make a valid image:
  // the contents are not read, and only the size lines appear.
  std::vector<uint8_t> longer = MakeImage(1, 2, 3);
  longer.push_back(0);
  buffer_.assign(kCodeSize, 0);
  EXPECT_FALSE(Read(dir_.Write("long.bin", longer), &printed));
  EXPECT_EQ(printed, "Input file (" + (dir_.path() / "long.bin").string() +
                         ") size is incorrect.\n"
                         "  Expected 204800, found 204801.\n");
  EXPECT_EQ(buffer_, std::vector<uint8_t>(kCodeSize, 0));
  EXPECT_EQ(major_ * 100 + minor_ * 10 + patch_, 777);

  std::vector<uint8_t> bad = MakeImage(1, 2, 3);
  bad[204763] = 'm';
  EXPECT_FALSE(Read(dir_.Write("bad.bin", bad), &printed));
  EXPECT_EQ(printed,
            "Invalid firmware file. Code signature does not match.\n"
            "Got: 0x58, 0x33, 0x30, 0x6D\n");
  EXPECT_EQ(major_ * 100 + minor_ * 10 + patch_, 777);
}

// A directory has no size to compare; it is refused as a missing file is.
TEST_F(CodeFileTest, DirectoryIsRefusedLikeAMissingFile) {
  std::string printed;
  EXPECT_FALSE(Read(dir_.path().string(), &printed));
  EXPECT_EQ(printed,
            "File failed to open or does not exist\n"
            "Did not read code file correctly\n");
  EXPECT_EQ(major_ * 100 + minor_ * 10 + patch_, 777);
}

TEST_F(CodeFileTest, AreaTooSmallForTheSignatureIsNeverRead) {
  const std::string path = dir_.Write("ok.bin", MakeImage(1, 2, 3));
  std::vector<uint8_t> small(64, 0);
  uint8_t major = 9, minor = 9, patch = 9;
  StdoutCapture capture;
  EXPECT_FALSE(
      ReadCodeFile(path, small.data(), small.size(), major, minor, patch));
  EXPECT_EQ(capture.Take(), "Did not read code file correctly\n");
  EXPECT_EQ(small, std::vector<uint8_t>(64, 0));
  EXPECT_EQ(major, 9);
}

}  // namespace
}  // namespace modflash::testing
