#ifndef MODFLASH_TOOLS_READERSIM_FIBER_H_
#define MODFLASH_TOOLS_READERSIM_FIBER_H_

// A body of code with a stack of its own that runs by turns with the
// thread that resumes it: the event loop's way to let a reader's session
// read as a plain sequence of waits. Boost.Context in fiber_posix.cpp,
// Windows fibers in fiber_win32.cpp.

#include <cstddef>
#include <functional>
#include <memory>

namespace modflash::sim {

class Fiber {
 public:
  /// `body` runs on a stack of `stackBytes` from the first Resume().
  Fiber(std::function<void()> body, size_t stackBytes);
  ~Fiber();
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;

  /// False when no stack could be had; such a fiber never runs.
  bool ok() const;
  /// Runs the body until it yields or ends; true once it has ended. Only
  /// from the thread's own stack, never from inside a fiber.
  bool Resume();
  /// From inside a running body: back to the Resume() that ran it.
  static void Leave();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace modflash::sim

#endif  // MODFLASH_TOOLS_READERSIM_FIBER_H_
