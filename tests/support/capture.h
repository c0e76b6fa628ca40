#ifndef MODFLASH_TESTS_SUPPORT_CAPTURE_H_
#define MODFLASH_TESTS_SUPPORT_CAPTURE_H_

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <string>

namespace modflash::testing {

/// Captures everything written to standard output (narrow and wide, stream
/// and C stdio) from construction until Take().
class StdoutCapture {
 public:
  StdoutCapture() { ::testing::internal::CaptureStdout(); }
  ~StdoutCapture() {
    if (!taken_) Take();
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  std::string Take() {
    std::cout.flush();
    std::fflush(stdout);
    taken_ = true;
    return ::testing::internal::GetCapturedStdout();
  }

 private:
  bool taken_ = false;
};

}  // namespace modflash::testing

#endif  // MODFLASH_TESTS_SUPPORT_CAPTURE_H_
