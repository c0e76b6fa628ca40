#ifndef MODFLASH_TOOLS_READERSIM_EVENT_LOOP_H_
#define MODFLASH_TOOLS_READERSIM_EVENT_LOOP_H_

// One thread that serves many readers: each reader's code runs as a task
// (a fiber) that waits for its socket or its time through the loop, which
// waits for all of them at once in one system call, with a queue of the
// tasks' deadlines. No thread per reader, no sleep per exchange.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "link/socket_layer.h"
#include "tools/readersim/fiber.h"
#include "tools/readersim/poller.h"

namespace modflash::sim {

class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;

  /// Starts the loop's thread.
  EventLoop();
  /// Waits until every task has ended, then ends the thread.
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  /// Runs `task` on the loop's thread, from its next pass; any thread may
  /// ask. False when it cannot be run (no stack for it).
  bool Spawn(std::function<void()> task);

  // From inside a task only; each returns when it is done or the wait
  // ended, with the other tasks run meanwhile.

  /// Until `s` is readable (or a listener has a connection waiting), at
  /// most `timeoutMs`. True when it is.
  bool WaitReadable(net::SocketHandle s, int timeoutMs);
  /// Until a send on `s` can take bytes, at most `timeoutMs`.
  bool WaitWritable(net::SocketHandle s, int timeoutMs);
  void SleepUntil(Clock::time_point until);
  /// Before a socket a task waited on is closed.
  void Forget(net::SocketHandle s);

 private:
  struct Task;
  using Deadlines = std::multimap<Clock::time_point, Task*>;
  struct Task {
    std::unique_ptr<Fiber> fiber;
    net::SocketHandle socket = net::kInvalidSocket;  ///< waited on, if any
    bool ready = false;  ///< whether the wait on `socket` ended with it ready
    bool timed = false;  ///< `deadline` is in the queue
    Deadlines::iterator deadline;
  };

  void Run();
  void TakeSpawned();
  bool WaitSocket(net::SocketHandle s, bool writable, int timeoutMs);
  void Suspend(Clock::time_point until);
  void RunReady();
  void WaitForEvents();
  void Wake(Task* task);
  void End(Task* task);

  Poller poller_;
  std::mutex mutex_;  // guards spawned_
  std::vector<std::unique_ptr<Task>> spawned_;
  std::atomic<bool> ending_{false};
  std::vector<std::unique_ptr<Task>> tasks_;
  std::vector<Task*> ready_;
  Task* current_ = nullptr;
  Deadlines deadlines_;
  /// The task that waits on each socket.
  std::unordered_map<net::SocketHandle, Task*> waiters_;
  std::vector<net::SocketHandle> events_;
  std::thread thread_;
};

}  // namespace modflash::sim

#endif  // MODFLASH_TOOLS_READERSIM_EVENT_LOOP_H_
