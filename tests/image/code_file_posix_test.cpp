// Image paths that only POSIX systems can make.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "image/code_file.h"
#include "tests/support/capture.h"
#include "tests/support/temp_dir.h"

namespace modflash::testing {
namespace {

// Opening a pipe with no writer would block for ever (the test would hang
// until its time-out); it is refused with the lines of a missing file.
TEST(CodeFilePosixTest, PipeWithoutWriterIsRefusedAtOnce) {
  TempDir dir;
  const std::string path = (dir.path() / "image.fifo").string();
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  std::vector<uint8_t> buffer(kCodeSize);
  uint8_t major = 0, minor = 0, patch = 0;
  StdoutCapture out;
  EXPECT_FALSE(
      ReadCodeFile(path, buffer.data(), kCodeSize, major, minor, patch));
  EXPECT_EQ(out.Take(),
            "File failed to open or does not exist\n"
            "Did not read code file correctly\n");
}

}  // namespace
}  // namespace modflash::testing
