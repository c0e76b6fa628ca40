// Fibers on Boost.Context, with stacks of their own (a guard page below
// each), switched without a system call, and the switches announced to
// AddressSanitizer when it is built in. (ucontext's swapcontext sets the
// signal mask on every switch: two system calls for each of a reader's
// waits.)

#include <sys/mman.h>
#include <unistd.h>

#include <boost/context/fiber.hpp>
#include <boost/context/preallocated.hpp>
#include <boost/context/stack_context.hpp>
#include <cstdint>
#include <memory>
#include <utility>

#include "tools/readersim/fiber.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MODFLASH_FIBER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(MODFLASH_FIBER_ASAN)
#define MODFLASH_FIBER_ASAN 1
#endif

#ifdef MODFLASH_FIBER_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace modflash::sim {

namespace context = boost::context;

struct Fiber::State {
  std::function<void()> body;
  context::fiber self;    // the body's, while it waits to be resumed
  context::fiber caller;  // the resumer's, while the body runs
  void* stack = nullptr;  // the mapping, guard page included
  size_t mapped = 0;
  size_t page = 0;
  bool ended = false;
  // The stack being left and the one switched to, for the sanitizer.
  void* fakeStack = nullptr;
  const void* callerBottom = nullptr;
  size_t callerSize = 0;
};

namespace {

thread_local Fiber::State* running = nullptr;

void StartSwitch(void** fakeStack, const void* bottom, size_t size) {
#ifdef MODFLASH_FIBER_ASAN
  __sanitizer_start_switch_fiber(fakeStack, bottom, size);
#else
  (void)fakeStack;
  (void)bottom;
  (void)size;
#endif
}

void FinishSwitch(void* fakeStack, const void** bottom, size_t* size) {
#ifdef MODFLASH_FIBER_ASAN
  __sanitizer_finish_switch_fiber(fakeStack, bottom, size);
#else
  (void)fakeStack;
  (void)bottom;
  (void)size;
#endif
}

/// The stack is mapped and unmapped by the fiber's State; Boost.Context
/// only uses it.
struct KeptStack {
  context::stack_context allocate() { return {}; }
  void deallocate(context::stack_context&) noexcept {}
};

context::fiber Entry(Fiber::State* state, context::fiber&& caller) {
  state->caller = std::move(caller);
  FinishSwitch(nullptr, &state->callerBottom, &state->callerSize);
  state->body();
  state->ended = true;
  // A null fake stack: this fiber's own is done with.
  StartSwitch(nullptr, state->callerBottom, state->callerSize);
  return std::move(state->caller);
}

}  // namespace

Fiber::Fiber(std::function<void()> body, size_t stackBytes)
    : state_(std::make_unique<State>()) {
  state_->body = std::move(body);
  state_->page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t pages = (stackBytes + state_->page - 1) / state_->page;
  state_->mapped = (pages + 1) * state_->page;
  void* map = mmap(nullptr, state_->mapped, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (map == MAP_FAILED) return;
  // An overflow faults on the guard page instead of writing past the stack.
  mprotect(map, state_->page, PROT_NONE);
  state_->stack = map;
  // The stack grows down from the mapping's end to the guard page.
  context::stack_context stack;
  stack.size = state_->mapped - state_->page;
  stack.sp = static_cast<char*>(map) + state_->mapped;
  State* state = state_.get();
  state_->self = context::fiber(
      std::allocator_arg, context::preallocated(stack.sp, stack.size, stack),
      KeptStack{}, [state](context::fiber&& caller) {
        return Entry(state, std::move(caller));
      });
}

Fiber::~Fiber() {
  if (state_->stack == nullptr) return;
  // A body never started is dropped here, before its stack goes.
  state_->self = context::fiber{};
#ifdef MODFLASH_FIBER_ASAN
  // The next mapping at these addresses must not inherit the frames' marks.
  ASAN_UNPOISON_MEMORY_REGION(state_->stack, state_->mapped);
#endif
  munmap(state_->stack, state_->mapped);
}

bool Fiber::ok() const { return state_->stack != nullptr; }

bool Fiber::Resume() {
  if (!ok() || state_->ended) return true;
  State* outer = running;
  running = state_.get();
  void* fake = nullptr;
  StartSwitch(&fake, static_cast<char*>(state_->stack) + state_->page,
              state_->mapped - state_->page);
  state_->self = std::move(state_->self).resume();
  FinishSwitch(fake, nullptr, nullptr);
  running = outer;
  return state_->ended;
}

void Fiber::Leave() {
  State* state = running;
  if (state == nullptr) return;
  StartSwitch(&state->fakeStack, state->callerBottom, state->callerSize);
  state->caller = std::move(state->caller).resume();
  FinishSwitch(state->fakeStack, &state->callerBottom, &state->callerSize);
}

}  // namespace modflash::sim
