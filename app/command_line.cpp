#include "app/command_line.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>

#include "contract/output_lines.h"
#include "contract/port.h"

namespace modflash {
namespace {

using output::kDefaultPort;
using output::kHighestPort;
using output::kLowestPort;

// strtol's base-10 conversion, saturated to the signed 32-bit range.
int32_t ConvertPort(const char* text, const char** end) {
  char* stop = nullptr;
  errno = 0;
  const long value = std::strtol(text, &stop, 10);
  *end = stop;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace

bool ParseCommandLine(int argc, const char* const* argv, std::string& codefile,
                      bool& testMode, std::string& ipAddress, int32_t& port) {
  if (argc != 4 && argc != 5) return false;

  const std::string runKind = argv[1];
  if (runKind == "--dryrun") {
    testMode = true;
  } else if (runKind == "--program") {
    testMode = false;
  } else {
    std::cout << "\n" << output::kRunKindExpected << "\n";
    return false;
  }

  codefile = argv[2];
  ipAddress = argv[3];
  if (argc == 4) {
    port = kDefaultPort;
    return true;
  }

  const char* rest = nullptr;
  port = ConvertPort(argv[4], &rest);
  if (*rest != '\0') {
    std::cout << output::kPortCharacters << rest << "'\n"
              << output::kPortMustBeNumber << "\n";
    return false;
  }
  if (port < kLowestPort || port > kHighestPort) {
    std::cout << output::kPortOutOfRange << "\n";
    return false;
  }
  return true;
}

void PrintUsage(const std::string& programName) {
  std::cout << output::kUsage << programName << output::kUsageArguments << "\n";
}

}  // namespace modflash
