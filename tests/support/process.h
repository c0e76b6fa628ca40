#ifndef MODFLASH_TESTS_SUPPORT_PROCESS_H_
#define MODFLASH_TESTS_SUPPORT_PROCESS_H_

#include <string>
#include <vector>

namespace modflash::testing {

/// What a finished child process left behind.
struct ProcessResult {
  std::string out;
  std::string err;
  /// The exit status as the system reports it (-1 from main is 255 on
  /// POSIX, -1 on Windows); -1000 when the process could not be run or did not
  /// end.
  int status = -1000;
};

/// Runs `program` with `args` (argv[0] is `program` itself), no standard
/// input, and collects both output streams ("\r\n" line ends handed back
/// as "\n" on Windows). Kills the child after `timeoutMs`.
ProcessResult RunProcess(const std::string& program,
                         const std::vector<std::string>& args,
                         int timeoutMs = 120000);

/// The exit status a program's `return -1` shows on this platform.
int MinusOneStatus();

/// `text` with the platform's line ends ("\r\n" on Windows) as "\n".
std::string PlainLineEnds(const std::string& text);

}  // namespace modflash::testing

#endif  // MODFLASH_TESTS_SUPPORT_PROCESS_H_
