// readersim against a client that sends and never reads. On the POSIX
// event loop only: under Wine the flood held the loop, and the other
// client went unanswered (not yet understood).

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <sstream>
#include <string>

#include "tests/sim/sim_client.h"
#include "tools/readersim/simulator.h"

namespace modflash::sim {
namespace {

using testing::CommandFrame;
using testing::RawClient;
using Clock = std::chrono::steady_clock;

size_t CountLines(const std::string& log, const std::string& part) {
  size_t count = 0;
  for (size_t at = log.find(part); at != std::string::npos;
       at = log.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// A client that sends and never reads: once the answers fill the socket's
// buffers, the session waits for room through the loop (the other readers
// on it go on being served), and gives up after the idle time-out.
TEST(SimDeafClientTest, ClientThatNeverReadsIsDroppedAfterTheIdleTimeOut) {
  std::ostringstream log;
  SimOptions options;
  options.port = 0;
  options.idleTimeoutMs = 1000;
  options.log = &log;
  auto sim = std::make_unique<Simulator>(std::move(options));
  ASSERT_TRUE(sim->Start());
  RawClient deaf;
  ASSERT_TRUE(deaf.Connect(sim->port(), 4096));
  const Bytes query = BuildReaderMessage(kTypeGetBaudRate, nullptr, 0);
  // About 6 MB of queries and more of answers: more than the buffers of
  // both ends hold while nobody reads, with the client's kept small.
  Bytes flood;
  for (int i = 0; i < 1000000; ++i) {
    flood.insert(flood.end(), query.begin(), query.end());
  }
  const auto start = Clock::now();
  // The sends stall, then fail once the simulator has closed.
  auto sending = std::async(std::launch::async,
                            [&deaf, &flood] { return deaf.SendBytes(flood); });

  RawClient next;
  ASSERT_TRUE(next.Connect(sim->port()));
  for (int i = 0; i < 5; ++i) {
    const auto answer = next.Exchange(CommandFrame(0x60), 5000);
    ASSERT_TRUE(answer.has_value()) << "exchange " << i;
    EXPECT_EQ(answer->size(), 16u);
  }
  ASSERT_EQ(sending.wait_for(std::chrono::seconds(30)),
            std::future_status::ready);
  EXPECT_FALSE(sending.get());
  const double waited =
      std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GE(waited, 1.0);
  next.Close();
  ASSERT_TRUE(sim->WaitForConnections(2, 10000));
  sim->Stop();
  const std::string text = log.str();
  EXPECT_EQ(CountLines(text, "sending failed, error 10060"), 1u)
      << text.substr(0, 2000);
}

}  // namespace
}  // namespace modflash::sim
