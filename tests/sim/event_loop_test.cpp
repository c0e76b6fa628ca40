// The event loop that serves a fleet's readers: its tasks share one thread,
// wake at their deadlines (never before, in order) and when their sockets
// are ready.

#include "tools/readersim/event_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "net/loopback_server.h"

namespace modflash::sim {
namespace {

using Clock = EventLoop::Clock;

// Counts tasks down to zero, from any thread.
class Latch {
 public:
  explicit Latch(size_t count) : count_(count) {}
  void Done() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--count_ == 0) zero_.notify_all();
  }
  bool Wait(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return zero_.wait_for(lock, limit, [this] { return count_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable zero_;
  size_t count_;
};

TEST(EventLoopTest, SleepersWakeInTheOrderOfTheirDeadlinesAndNeverEarly) {
  constexpr size_t kTasks = 200;
  net::SocketLayerSession sockets;
  EventLoop loop;
  std::mutex mutex;
  std::vector<size_t> order;  // the deadlines' ranks, as the tasks woke
  std::vector<Clock::duration> early(kTasks, Clock::duration::zero());
  std::vector<std::thread::id> threads(kTasks);
  Latch done(kTasks);
  // Far enough ahead that a loaded machine still runs every task before
  // its deadline; one that did not is left out of the order.
  const Clock::time_point start = Clock::now() + std::chrono::seconds(1);
  for (size_t i = 0; i < kTasks; ++i) {
    // Spread over 100 ms, not in the order they were spawned.
    const size_t rank = (i * 37) % kTasks;
    const Clock::time_point at = start + std::chrono::microseconds(rank * 500);
    ASSERT_TRUE(loop.Spawn([&, i, rank, at] {
      const bool slept = Clock::now() < at;
      loop.SleepUntil(at);
      const Clock::time_point woke = Clock::now();
      std::lock_guard<std::mutex> lock(mutex);
      if (slept) order.push_back(rank);
      if (woke < at) early[i] = at - woke;
      threads[i] = std::this_thread::get_id();
      done.Done();
    }));
  }
  ASSERT_TRUE(done.Wait(std::chrono::seconds(30)));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_GT(order.size(), kTasks / 2);
  for (size_t i = 0; i < kTasks; ++i) {
    EXPECT_EQ(early[i], Clock::duration::zero()) << "task " << i;
    EXPECT_EQ(threads[i], threads[0]);
  }
  EXPECT_NE(threads[0], std::this_thread::get_id());
}

// A connected pair on the loopback: the loop's end and the test's.
struct Pair {
  net::SocketHandle served = net::kInvalidSocket;
  net::SocketHandle client = net::kInvalidSocket;
};

Pair Connect(net::SocketHandle listener, uint16_t port) {
  Pair pair;
  pair.client = net::OpenTcp();
  EXPECT_EQ(net::ConnectIPv4(pair.client, "127.0.0.1", port), 0);
  pair.served = net::Accept(listener);
  EXPECT_TRUE(net::SetNonBlocking(pair.served));
  return pair;
}

TEST(EventLoopTest, EachTaskWakesForItsOwnSocketOrItsTimeOut) {
  constexpr size_t kTasks = 40;
  net::SocketLayerSession sockets;
  uint16_t port = 0;
  const net::SocketHandle listener = net::ListenLoopback(0, &port);
  ASSERT_NE(listener, net::kInvalidSocket);
  std::vector<Pair> pairs;
  for (size_t i = 0; i <= kTasks; ++i) pairs.push_back(Connect(listener, port));
  std::vector<int> got(kTasks + 1, -1);
  std::vector<bool> readable(kTasks + 1, false);
  Clock::duration silentWait{};
  Latch done(kTasks + 1);
  {
    EventLoop loop;
    for (size_t i = 0; i <= kTasks; ++i) {
      ASSERT_TRUE(loop.Spawn([&, i] {
        const Clock::time_point start = Clock::now();
        // The last pair stays silent: its task waits out its time.
        readable[i] =
            loop.WaitReadable(pairs[i].served, i < kTasks ? 20000 : 300);
        if (i == kTasks) silentWait = Clock::now() - start;
        uint8_t byte = 0;
        if (readable[i] && net::Recv(pairs[i].served, &byte, 1) == 1)
          got[i] = byte;
        loop.Forget(pairs[i].served);
        done.Done();
      }));
    }
    // Written in the reverse order, one after another.
    for (size_t i = kTasks; i-- > 0;) {
      const uint8_t byte = static_cast<uint8_t>(i);
      ASSERT_TRUE(net::SendAll(pairs[i].client, &byte, 1));
    }
    ASSERT_TRUE(done.Wait(std::chrono::seconds(30)));
  }
  for (size_t i = 0; i < kTasks; ++i) {
    EXPECT_TRUE(readable[i]) << "task " << i;
    EXPECT_EQ(got[i], static_cast<int>(i)) << "task " << i;
  }
  EXPECT_FALSE(readable[kTasks]);
  EXPECT_GE(silentWait, std::chrono::milliseconds(300));
  for (const Pair& pair : pairs) {
    net::Close(pair.served);
    net::Close(pair.client);
  }
  net::Close(listener);
}

}  // namespace
}  // namespace modflash::sim
