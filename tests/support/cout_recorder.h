#ifndef MODFLASH_TESTS_SUPPORT_COUT_RECORDER_H_
#define MODFLASH_TESTS_SUPPORT_COUT_RECORDER_H_

#include <cstddef>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace modflash::testing {

/// Redirects std::cout into memory from construction to destruction and
/// notes where the stream was flushed, so tests can check both the text and
/// its flushes. Only output written through std::cout is seen.
class CoutRecorder : public std::stringbuf {
 public:
  CoutRecorder() : previous_(std::cout.rdbuf(this)) {}
  ~CoutRecorder() override { std::cout.rdbuf(previous_); }
  CoutRecorder(const CoutRecorder&) = delete;
  CoutRecorder& operator=(const CoutRecorder&) = delete;

  std::string Text() const { return str(); }

  /// The text with "<flush>" inserted at every point where it was flushed.
  std::string Marked() const {
    const std::string text = str();
    std::string marked;
    size_t from = 0;
    for (const size_t at : flushes_) {
      marked += text.substr(from, at - from) + "<flush>";
      from = at;
    }
    return marked + text.substr(from);
  }

 protected:
  int sync() override {
    flushes_.push_back(str().size());
    return 0;
  }

 private:
  std::streambuf* previous_;
  std::vector<size_t> flushes_;
};

}  // namespace modflash::testing

#endif  // MODFLASH_TESTS_SUPPORT_COUT_RECORDER_H_
