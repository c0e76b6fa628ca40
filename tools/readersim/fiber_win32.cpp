// Fibers on the system's own: the thread that resumes them becomes a fiber
// once, at its first Resume().

#include <windows.h>

#include "tools/readersim/fiber.h"

namespace modflash::sim {

struct Fiber::State {
  std::function<void()> body;
  void* fiber = nullptr;
  void* caller = nullptr;
  bool ended = false;
};

namespace {

thread_local Fiber::State* running = nullptr;
thread_local void* threadFiber = nullptr;

void WINAPI Entry(void* parameter) {
  auto* state = static_cast<Fiber::State*>(parameter);
  state->body();
  state->ended = true;
  // A fiber's function must never return; the loop deletes it.
  for (;;) SwitchToFiber(state->caller);
}

}  // namespace

Fiber::Fiber(std::function<void()> body, size_t stackBytes)
    : state_(std::make_unique<State>()) {
  state_->body = std::move(body);
  // A quarter committed at once, the rest reserved.
  state_->fiber = CreateFiberEx(stackBytes / 4, stackBytes,
                                FIBER_FLAG_FLOAT_SWITCH, Entry, state_.get());
}

Fiber::~Fiber() {
  if (state_->fiber != nullptr) DeleteFiber(state_->fiber);
}

bool Fiber::ok() const { return state_->fiber != nullptr; }

bool Fiber::Resume() {
  if (!ok() || state_->ended) return true;
  if (threadFiber == nullptr) {
    threadFiber = ConvertThreadToFiber(nullptr);
    if (threadFiber == nullptr) return true;
  }
  State* outer = running;
  running = state_.get();
  state_->caller = threadFiber;
  SwitchToFiber(state_->fiber);
  running = outer;
  return state_->ended;
}

void Fiber::Leave() {
  State* state = running;
  if (state != nullptr) SwitchToFiber(state->caller);
}

}  // namespace modflash::sim
