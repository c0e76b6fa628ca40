// Fibers on ucontext, with stacks of their own (a guard page below each)
// and the switches announced to AddressSanitizer when it is built in.

#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>

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
#include <dlfcn.h>
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace modflash::sim {

struct Fiber::State {
  std::function<void()> body;
  ucontext_t context{};
  ucontext_t caller{};
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

// The sanitizer's own swapcontext warns on every run that it cannot follow
// the switch; these switches are announced to it, so the system's is taken.
int Switch(ucontext_t* from, ucontext_t* to) {
#ifdef MODFLASH_FIBER_ASAN
  using SwapContext = int (*)(ucontext_t*, const ucontext_t*);
  // The C library's own: the sanitizer's runtime may come first in the
  // lookup order.
  static void* const libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
  static const auto system = reinterpret_cast<SwapContext>(
      libc != nullptr ? dlsym(libc, "swapcontext") : nullptr);
  if (system != nullptr) return system(from, to);
#endif
  return swapcontext(from, to);
}

void Entry() {
  Fiber::State* state = running;
  FinishSwitch(nullptr, &state->callerBottom, &state->callerSize);
  state->body();
  state->ended = true;
  // A null fake stack: this fiber's own is done with.
  StartSwitch(nullptr, state->callerBottom, state->callerSize);
  Switch(&state->context, &state->caller);
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
  if (getcontext(&state_->context) != 0) {
    munmap(map, state_->mapped);
    return;
  }
  state_->stack = map;
  state_->context.uc_stack.ss_sp = static_cast<char*>(map) + state_->page;
  state_->context.uc_stack.ss_size = state_->mapped - state_->page;
  state_->context.uc_link = nullptr;
  makecontext(&state_->context, Entry, 0);
}

Fiber::~Fiber() {
  if (state_->stack == nullptr) return;
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
  StartSwitch(&fake, state_->context.uc_stack.ss_sp,
              state_->context.uc_stack.ss_size);
  Switch(&state_->caller, &state_->context);
  FinishSwitch(fake, nullptr, nullptr);
  running = outer;
  return state_->ended;
}

void Fiber::Leave() {
  State* state = running;
  if (state == nullptr) return;
  StartSwitch(&state->fakeStack, state->callerBottom, state->callerSize);
  Switch(&state->context, &state->caller);
  FinishSwitch(state->fakeStack, &state->callerBottom, &state->callerSize);
}

}  // namespace modflash::sim
