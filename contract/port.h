#ifndef MODFLASH_CONTRACT_PORT_H_
#define MODFLASH_CONTRACT_PORT_H_
// The reader's TCP port as modflash takes it on its command line, and as
// the programs beside it (modflash-audit, modflash-fleet's inventory,
// readersim) take it too.

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace modflash::output {

/// The port when none is given.
inline constexpr int32_t kDefaultPort = 5000;
/// The ports modflash takes: "The port must be between 1 and 16535".
inline constexpr int32_t kLowestPort = 1;
inline constexpr int32_t kHighestPort = 16535;

/// Reads a port the way modflash reads its PortNumber: strtol's base-10
/// number (leading blanks and a sign taken), nothing after it, from
/// `lowest` to kHighestPort. False, and `port` untouched, otherwise.
inline bool ParsePort(const std::string& text, int32_t& port,
                      int32_t lowest = kLowestPort) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end != text.c_str() + text.size() || errno == ERANGE || value < lowest ||
      value > kHighestPort) {
    return false;
  }
  port = static_cast<int32_t>(value);
  return true;
}

}  // namespace modflash::output

#endif  // MODFLASH_CONTRACT_PORT_H_
