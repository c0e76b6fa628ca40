#include "tests/support/process.h"

namespace modflash::testing {

int MinusOneStatus() { return 255; }

std::string PlainLineEnds(const std::string& text) { return text; }

}  // namespace modflash::testing
