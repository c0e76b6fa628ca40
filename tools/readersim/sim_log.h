#ifndef MODFLASH_TOOLS_READERSIM_SIM_LOG_H_
#define MODFLASH_TOOLS_READERSIM_SIM_LOG_H_

#include <chrono>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace modflash::sim {

/// Serialised, time-stamped log lines, each starting "readersim: ".
class SimLog {
 public:
  explicit SimLog(std::ostream* out) : out_(out) {}
  void Line(const std::string& text);
  /// A trace line: the seconds since the log was made, the direction and
  /// the decoded message.
  void Trace(const char* direction, const std::string& text);

 private:
  std::ostream* out_;
  std::mutex mutex_;
  std::chrono::steady_clock::time_point start_ =
      std::chrono::steady_clock::now();
};

/// One line that decodes a reader message (for the trace).
std::string DescribeMessage(uint8_t type, const std::vector<uint8_t>& payload);

}  // namespace modflash::sim

#endif  // MODFLASH_TOOLS_READERSIM_SIM_LOG_H_
