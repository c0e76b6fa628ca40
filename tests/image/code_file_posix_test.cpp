// Image paths that only POSIX systems can make.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <future>
#include <string>
#include <vector>

#include "image/code_file.h"
#include "tests/support/capture.h"
#include "tests/support/temp_dir.h"

namespace modflash::testing {
namespace {

// A pipe with no writer would block the open forever; it is refused before
// that, with the lines of a missing file.
TEST(CodeFilePosixTest, PipeWithoutWriterIsRefusedAtOnce) {
  TempDir dir;
  const std::string path = (dir.path() / "image.fifo").string();
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  std::vector<uint8_t> buffer(kCodeSize);
  auto read = std::async(std::launch::async, [&] {
    uint8_t major = 0, minor = 0, patch = 0;
    StdoutCapture capture;
    const bool ok =
        ReadCodeFile(path, buffer.data(), kCodeSize, major, minor, patch);
    return std::make_pair(ok, capture.Take());
  });
  if (read.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    // Free the blocked open by playing the writer, then report the fault.
    close(open(path.c_str(), O_WRONLY));
    read.wait();
    FAIL() << "the read blocked on the pipe";
  }
  const auto [ok, printed] = read.get();
  EXPECT_FALSE(ok);
  EXPECT_EQ(printed,
            "File failed to open or does not exist\n"
            "Did not read code file correctly\n");
}

}  // namespace
}  // namespace modflash::testing
