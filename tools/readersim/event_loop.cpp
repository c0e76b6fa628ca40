#include "tools/readersim/event_loop.h"

#include <algorithm>

namespace modflash::sim {
namespace {

/// A reader's session is shallow, but the sanitizers' frames are large.
constexpr size_t kStackBytes = 256 * 1024;
/// The longest the loop waits before it looks for tasks spawned by other
/// threads, and whether it is to end.
constexpr auto kLookInterval = std::chrono::milliseconds(20);

}  // namespace

EventLoop::EventLoop() {
  thread_ = std::thread([this] { Run(); });
}

EventLoop::~EventLoop() {
  ending_ = true;
  if (thread_.joinable()) thread_.join();
}

bool EventLoop::Spawn(std::function<void()> body) {
  auto task = std::make_unique<Task>();
  task->fiber = std::make_unique<Fiber>(std::move(body), kStackBytes);
  if (!task->fiber->ok() || !poller_.ok()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  spawned_.push_back(std::move(task));
  return true;
}

void EventLoop::Run() {
  for (;;) {
    TakeSpawned();
    RunReady();
    if (tasks_.empty() && ending_) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (spawned_.empty()) return;
    }
    WaitForEvents();
  }
}

void EventLoop::TakeSpawned() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& task : spawned_) {
    ready_.push_back(task.get());
    tasks_.push_back(std::move(task));
  }
  spawned_.clear();
}

void EventLoop::RunReady() {
  std::vector<Task*> batch;
  batch.swap(ready_);
  for (Task* task : batch) {
    current_ = task;
    const bool ended = task->fiber->Resume();
    current_ = nullptr;
    if (ended) End(task);
  }
}

void EventLoop::End(Task* task) {
  const auto it =
      std::find_if(tasks_.begin(), tasks_.end(),
                   [task](const auto& owned) { return owned.get() == task; });
  if (it != tasks_.end()) tasks_.erase(it);
}

// Waits for the sockets until the first deadline (or at once when a task
// is ready), then readies the tasks whose socket or time has come.
void EventLoop::WaitForEvents() {
  Clock::duration timeout = kLookInterval;
  if (!ready_.empty()) {
    timeout = Clock::duration::zero();
  } else if (!deadlines_.empty()) {
    timeout = std::min(timeout, deadlines_.begin()->first - Clock::now());
  }
  poller_.Wait(std::chrono::duration_cast<std::chrono::nanoseconds>(timeout),
               events_);
  for (const net::SocketHandle s : events_) {
    const auto waiter = waiters_.find(s);
    if (waiter == waiters_.end()) {
      // Input for a task that is busy elsewhere: it is seen at its next
      // wait, and until then does not wake the loop.
      poller_.Watch(s, false, false);
      continue;
    }
    Task* task = waiter->second;
    task->ready = true;
    Wake(task);
  }
  const Clock::time_point now = Clock::now();
  while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
    Wake(deadlines_.begin()->second);
  }
}

void EventLoop::Wake(Task* task) {
  if (task->timed) {
    deadlines_.erase(task->deadline);
    task->timed = false;
  }
  if (task->socket != net::kInvalidSocket) {
    waiters_.erase(task->socket);
    task->socket = net::kInvalidSocket;
  }
  ready_.push_back(task);
}

void EventLoop::Suspend(Clock::time_point until) {
  Task* task = current_;
  task->deadline = deadlines_.emplace(until, task);
  task->timed = true;
  Fiber::Leave();
}

bool EventLoop::WaitSocket(net::SocketHandle s, bool writable, int timeoutMs) {
  Task* task = current_;
  if (task == nullptr) return false;
  task->socket = s;
  task->ready = false;
  waiters_[s] = task;
  poller_.Watch(s, !writable, writable);
  Suspend(Clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs)));
  return task->ready;
}

bool EventLoop::WaitReadable(net::SocketHandle s, int timeoutMs) {
  return WaitSocket(s, false, timeoutMs);
}

bool EventLoop::WaitWritable(net::SocketHandle s, int timeoutMs) {
  return WaitSocket(s, true, timeoutMs);
}

void EventLoop::SleepUntil(Clock::time_point until) {
  if (current_ == nullptr || Clock::now() >= until) return;
  Suspend(until);
}

void EventLoop::Forget(net::SocketHandle s) {
  const auto waiter = waiters_.find(s);
  if (waiter != waiters_.end()) {
    waiter->second->socket = net::kInvalidSocket;
    waiters_.erase(waiter);
  }
  poller_.Forget(s);
}

}  // namespace modflash::sim
