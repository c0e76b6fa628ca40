// readersim against clients that misbehave: junk, a client that connects
// and says nothing, one that vanishes in the middle of a message, and a burst
// of connections. The next well-behaved client is always served.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/sim/sim_client.h"
#include "tools/readersim/simulator.h"

namespace modflash::sim {
namespace {

using testing::CommandFrame;
using testing::RawClient;
using testing::UpdatePacket;
using Clock = std::chrono::steady_clock;

size_t CountLines(const std::string& log, const std::string& part) {
  size_t count = 0;
  for (size_t at = log.find(part); at != std::string::npos;
       at = log.find(part, at + 1)) {
    ++count;
  }
  return count;
}

std::unique_ptr<Simulator> StartSimulator(std::ostream& log,
                                          uint32_t idleTimeoutMs) {
  SimOptions options;
  EXPECT_EQ(options.idleTimeoutMs, 30000u);
  options.port = 0;
  options.idleTimeoutMs = idleTimeoutMs;
  options.log = &log;
  auto sim = std::make_unique<Simulator>(std::move(options));
  EXPECT_TRUE(sim->Start());
  return sim;
}

TEST(SimAbuseTest, JunkSilentAndVanishedClientsDoNotStopTheService) {
  std::ostringstream log;
  auto sim = StartSimulator(log, 1000);

  // 256 KiB of junk, then gone: a handful of summary lines, not thousands.
  RawClient junk;
  ASSERT_TRUE(junk.Connect(sim->port()));
  std::mt19937 random(11);
  Bytes bytes(256 * 1024);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  ASSERT_TRUE(junk.SendBytes(bytes));
  junk.Close();
  ASSERT_TRUE(sim->WaitForConnections(1, 10000));

  // Connected and silent: it holds the simulator for the idle time-out only.
  RawClient silent;
  ASSERT_TRUE(silent.Connect(sim->port()));
  // Vanishes halfway through an update packet.
  RawClient vanishing;
  ASSERT_TRUE(vanishing.Connect(sim->port()));
  Bytes message = BuildReaderMessage(
      kTypeModuleData, UpdatePacket(3, Bytes(44, 0x5A)).data(), 64);
  message.resize(30);
  ASSERT_TRUE(vanishing.SendBytes(message));
  vanishing.Close();

  RawClient next;
  ASSERT_TRUE(next.Connect(sim->port()));
  const auto start = Clock::now();
  const auto answer = next.Exchange(CommandFrame(0x60), 8000);
  const double waited =
      std::chrono::duration<double>(Clock::now() - start).count();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->size(), 16u);
  EXPECT_LT(waited, 6.0);  // 1 s idle time-out, generous for a busy host
  next.Close();
  ASSERT_TRUE(sim->WaitForConnections(4, 5000));

  const std::vector<ConnectionStats> served = sim->Connections();
  EXPECT_GT(served[0].refused, 100u);
  EXPECT_TRUE(served[1].idleTimedOut);
  EXPECT_FALSE(served[2].idleTimedOut);
  EXPECT_EQ(served[2].moduleFrames, 0u);
  sim->Stop();
  const std::string text = log.str();
  EXPECT_GE(CountLines(text, "refused: "), 1u);
  EXPECT_LE(CountLines(text, "refused: "), 20u) << text.substr(0, 2000);
  EXPECT_EQ(CountLines(text, ": nothing arrived for 1000 ms, closing it"), 1u);
}

// A junk byte before every good message: the refusals are summed up for the
// connection, not one line for each message.
TEST(SimAbuseTest, JunkBeforeEveryMessageGivesAFewLinesAndACount) {
  std::ostringstream log;
  auto sim = StartSimulator(log, 5000);
  RawClient client;
  ASSERT_TRUE(client.Connect(sim->port()));
  const Bytes query = BuildReaderMessage(kTypeGetBaudRate, nullptr, 0);
  Bytes batch;
  for (int i = 0; i < 1000; ++i) {
    batch.push_back(0x00);
    batch.insert(batch.end(), query.begin(), query.end());
  }
  constexpr int kBatches = 20;
  const auto start = std::chrono::steady_clock::now();
  for (int b = 0; b < kBatches; ++b) {
    ASSERT_TRUE(client.SendBytes(batch));
    for (int i = 0; i < 1000; ++i) {
      const auto answer = client.Read(5000);
      ASSERT_TRUE(answer) << "batch " << b << ", query " << i;
      ASSERT_EQ(answer->type, kTypeBaudRate);
    }
  }
  client.Close();
  ASSERT_TRUE(sim->WaitForConnections(1, 10000));
  EXPECT_EQ(sim->Connections().at(0).refused, 20000u);
  sim->Stop();
  const std::string text = log.str();
  EXPECT_NE(text.find("readersim: refused: no message start (B9 9B): "
                      "dropped 1 byte(s) beginning 00\n"),
            std::string::npos)
      << text.substr(0, 2000);
  // The first refusal, one line every 10 s at most, one at the end: a few
  // lines, however slowly a loaded machine got through the 20000 messages.
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
  const size_t most = 2 + static_cast<size_t>(seconds) / 10;
  EXPECT_LE(CountLines(text, "refused: "), most) << text.substr(0, 2000);
  EXPECT_LT(text.size(), 1000u + 200u * most) << text.substr(0, 2000);
  EXPECT_NE(text.find("0 bytes written, 20000 refused, no expected image"),
            std::string::npos)
      << text;
}

// A hundred clients connect at once; every one is queued and then served.
TEST(SimAbuseTest, BurstOfAHundredConnectionsLosesNone) {
  std::ostringstream log;
  auto sim = StartSimulator(log, 2000);
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 100; ++i)
    clients.push_back(std::make_unique<RawClient>());
  // All connect before any is served; a short queue would stall them.
  auto connecting = std::async(std::launch::async, [&clients, &sim] {
    int connected = 0;
    for (auto& client : clients) connected += client->Connect(sim->port());
    return connected;
  });
  if (connecting.wait_for(std::chrono::seconds(20)) !=
      std::future_status::ready) {
    sim->Stop();  // closing the listener frees the stalled connect
    connecting.wait();
    FAIL() << "the burst stalled in connect";
  }
  ASSERT_EQ(connecting.get(), 100);
  int answered = 0;
  for (auto& client : clients) {
    if (client->Exchange(CommandFrame(0x60), 5000).has_value()) ++answered;
    client->Close();
  }
  EXPECT_EQ(answered, 100);
  EXPECT_TRUE(sim->WaitForConnections(100, 10000));
}

}  // namespace
}  // namespace modflash::sim
