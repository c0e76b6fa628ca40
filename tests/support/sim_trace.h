#ifndef MODFLASH_TESTS_SUPPORT_SIM_TRACE_H_
#define MODFLASH_TESTS_SUPPORT_SIM_TRACE_H_

#include <sstream>
#include <string>
#include <vector>

namespace modflash::testing {

/// The messages a simulator received, as its --trace decodes them ("38
/// GetBaudRate", "FA module data: command 60 (get version)"), from its log.
/// With several readers in one log, `reader` ("reader 3: ") keeps one.
inline std::vector<std::string> ReceivedMessages(
    const std::string& log, const std::string& reader = "") {
  std::vector<std::string> messages;
  std::istringstream lines(log);
  const std::string arrow = "] -> ";
  for (std::string line; std::getline(lines, line);) {
    if (!reader.empty() && line.find(reader) == std::string::npos) continue;
    const size_t at = line.find(arrow);
    if (at != std::string::npos) messages.push_back(line.substr(at + 5));
  }
  return messages;
}

}  // namespace modflash::testing

#endif  // MODFLASH_TESTS_SUPPORT_SIM_TRACE_H_
