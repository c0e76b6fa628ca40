// modflash-audit as a separate process against the simulated reader: what
// it reads, what it prints, its exit status and everything it sends.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "contract/output_lines.h"
#include "contract/port.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/sim_trace.h"
#include "tools/readersim/simulator.h"

namespace modflash::testing {
namespace {

const std::vector<std::string> kReadOnly = {
    "38 GetBaudRate", "FA module data: command 60 (get version)"};

class ModuleAuditTest : public ::testing::Test {
 protected:
  ModuleAuditTest() {
    options_.port = 0;
    options_.trace = true;
    options_.log = &simLog_;
  }

  ProcessResult Audit() {
    sim::Simulator simulator(options_);
    EXPECT_TRUE(simulator.Start());
    const ProcessResult r = RunProcess(
        MODFLASH_AUDIT_BIN, {"127.0.0.1", std::to_string(simulator.port())});
    simulator.WaitForConnections(1, 20000);
    simulator.Stop();
    simulator.Wait();
    return r;
  }

  sim::SimOptions options_;
  std::ostringstream simLog_;
};

TEST_F(ModuleAuditTest, ReadsRateAndVersionWithReadOnlyMessages) {
  options_.version = sim::Version{2, 0, 7};
  options_.rate = 230400;
  const ProcessResult r = Audit();
  EXPECT_EQ(r.status, output::kAuditAnswered);
  EXPECT_EQ(r.out,
            "Connected to reader.\n\nCurrent baud rate: 230400\n"
            "Current firmware version: V2.0.7\n");
  EXPECT_EQ(ReceivedMessages(simLog_.str()), kReadOnly) << simLog_.str();
}

// The reader answers its rate query; the module's frames go unanswered.
TEST_F(ModuleAuditTest, SilentModuleIsNoModuleAnswer) {
  options_.ignoreTypes = {0xFA};
  const ProcessResult r = Audit();
  EXPECT_EQ(r.status, output::kAuditNoModuleAnswer);
  EXPECT_EQ(r.out,
            "Connected to reader.\n\nCurrent baud rate: 921600\n"
            "Error receiving message from reader. Error #10060.\n"
            "Unable to retrieve firmware version\n");
  EXPECT_EQ(ReceivedMessages(simLog_.str()), kReadOnly) << simLog_.str();
}

TEST_F(ModuleAuditTest, ClosedPortIsUnreachableAndBadArgumentsAreUsage) {
  const uint16_t closed = FreeLoopbackPorts(1)[0];
  ProcessResult r =
      RunProcess(MODFLASH_AUDIT_BIN, {"127.0.0.1", std::to_string(closed)});
  EXPECT_EQ(r.status, output::kAuditUnreachable);
  EXPECT_EQ(r.out.rfind("Failed to connect to reader. Error (10061) ", 0), 0u)
      << r.out;
  // The port as modflash takes it: leading blanks and a sign too.
  r = RunProcess(MODFLASH_AUDIT_BIN,
                 {"127.0.0.1", " +" + std::to_string(closed)});
  EXPECT_EQ(r.status, output::kAuditUnreachable) << r.out;
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"127.0.0.1", "0"},
                                             {"127.0.0.1", "16536"},
                                             {"127.0.0.1", "5000 "},
                                             {"127.0.0.1", "0x10"},
                                             {"a", "1", "2"}}) {
    r = RunProcess(MODFLASH_AUDIT_BIN, args);
    EXPECT_EQ(r.status, output::kAuditBadUsage);
    EXPECT_NE(r.out.find(" ADDRESS [PORT]"), std::string::npos) << r.out;
  }
}

// One rule for every program beside modflash: what modflash's strtol takes,
// from 1 (or 0 where asked) to 16535.
TEST(PortTest, TakenAsModflashTakesIt) {
  for (const auto& [text, port] :
       std::vector<std::pair<std::string, int32_t>>{{"5000", 5000},
                                                    {" +5000", 5000},
                                                    {"\t12", 12},
                                                    {"16535", 16535},
                                                    {"007", 7}}) {
    int32_t parsed = 0;
    EXPECT_TRUE(output::ParsePort(text, parsed)) << text;
    EXPECT_EQ(parsed, port) << text;
  }
  for (const std::string& text :
       std::vector<std::string>{"", " ", "+", "0", "-5", "16536", "5000 ",
                                "5000x", "0x10", "99999999999999999999",
                                std::string("50\0"
                                            "1",
                                            4)}) {
    int32_t parsed = 42;
    EXPECT_FALSE(output::ParsePort(text, parsed)) << text;
    EXPECT_EQ(parsed, 42) << text;
  }
  int32_t any = 1;
  EXPECT_TRUE(output::ParsePort("0", any, 0));
  EXPECT_EQ(any, 0);
}

}  // namespace
}  // namespace modflash::testing
