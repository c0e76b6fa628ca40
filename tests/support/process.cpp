#include "tests/support/process.h"

#include <algorithm>
#include <chrono>

#include "process/child_process.h"

namespace modflash::testing {

ProcessResult RunProcess(const std::string& program,
                         const std::vector<std::string>& args, int timeoutMs) {
  ProcessResult result;
  process::ChildProcess child;
  std::string error;
  if (!child.Start(program, args, process::StartOptions{}, error)) {
    return result;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  bool outOpen = true;
  bool errOpen = true;
  bool timedOut = false;
  while (outOpen || errOpen) {
    // Rounded up, so the child gets its whole time.
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    process::ChildProcess::WaitForAny(
        {&child}, static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (outOpen) outOpen = child.ReadOutput(result.out);
    if (errOpen) errOpen = child.ReadError(result.err);
  }
  if (timedOut) child.Kill();
  const process::ChildExit exit = child.Wait();
  result.out = PlainLineEnds(result.out);
  result.err = PlainLineEnds(result.err);
  if (timedOut) {
    result.status = -1000;
  } else if (exit.exited) {
    result.status = exit.status;
  } else {
    result.status = -1000 - exit.signal;
  }
  return result;
}

}  // namespace modflash::testing
