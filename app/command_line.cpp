#include "app/command_line.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>

namespace modflash {
namespace {

constexpr int32_t kDefaultPort = 5000;
constexpr int32_t kLowestPort = 1;
constexpr int32_t kHighestPort = 16535;

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
    std::cout
        << "\nExpected first option to be either '--dryrun' or '--program'\n";
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
    std::cout << "There are invalid characters in your port number starting "
                 "with '"
              << rest << "'\n"
              << "The port must be a number between 1 and 16535\n";
    return false;
  }
  if (port < kLowestPort || port > kHighestPort) {
    std::cout << "The port must be between 1 and 16535\n";
    return false;
  }
  return true;
}

void PrintUsage(const std::string& programName) {
  std::cout << "Usage: " << programName
            << " {--dryrun|--program} filename IPAddress [PortNumber]\n";
}

}  // namespace modflash
