#include "tests/support/process.h"

namespace modflash::testing {

int MinusOneStatus() { return -1; }

// The C runtime writes text-mode output with "\r\n" line ends; hand back
// "\n" as on POSIX so callers compare one transcript on both platforms.
std::string PlainLineEnds(const std::string& text) {
  std::string plain;
  plain.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    plain.push_back(text[i]);
  }
  return plain;
}

}  // namespace modflash::testing
