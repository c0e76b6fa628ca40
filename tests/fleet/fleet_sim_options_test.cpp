// readersim's fleet options: which options reach which reader.

#include <gtest/gtest.h>

#include "tools/readersim/command_line.h"
#include "tools/readersim/fleet_sim.h"

namespace modflash::sim {
namespace {

TEST(FleetSimOptionsTest, FaultsReachOnlyTheFaultyReaders) {
  std::vector<std::string> args = {"--readers",
                                   "50",
                                   "--faulty",
                                   "7,31",
                                   "--refuse-slice",
                                   "0x405000:5",
                                   "--inventory-out=f.txt",
                                   "--rate",
                                   "230400",
                                   "--flash-out",
                                   "out/flash.bin"};
  CommandLine line;
  std::string error;
  ASSERT_TRUE(ParseCommandLine(args, line, error)) << error;
  FleetSimOptions& fleet = line.fleet;
  EXPECT_EQ(fleet.readers, 50u);
  EXPECT_EQ(fleet.inventoryOut, "f.txt");
  EXPECT_EQ(fleet.faulty, (std::set<uint32_t>{7, 31}));

  const std::vector<SimOptions> readers =
      FleetReaderOptions(line.options, fleet);
  ASSERT_EQ(readers.size(), 50u);
  for (uint32_t k = 1; k <= 50; ++k) {
    const SimOptions& o = readers[k - 1];
    const bool faulty = k == 7 || k == 31;
    EXPECT_EQ(o.refuseTimes, faulty ? 5u : 0u) << k;
    EXPECT_EQ(o.refuseAddress, faulty ? 0x405000u : 0u) << k;
    EXPECT_EQ(o.rate, 230400) << k;  // general options reach every reader
    EXPECT_EQ(o.port, 0) << k;
    EXPECT_EQ(o.flashOut, "out/flash-" + std::to_string(k) + ".bin");
  }

  // Without --faulty every reader gets the faults.
  fleet.faulty.clear();
  for (const SimOptions& o : FleetReaderOptions(line.options, fleet)) {
    EXPECT_EQ(o.refuseTimes, 5u);
  }
}

TEST(FleetSimOptionsTest, RejectsReadersOutsideTheFleet) {
  const std::vector<std::vector<std::string>> bad = {
      {"--readers", "0"},
      {"--readers", "5", "--faulty", "6"},
      {"--readers", "5", "--faulty", "2,,3"},
      {"--faulty", "1"},
      {"--inventory-out", "f.txt"},
      {"--readers"}};
  for (std::vector<std::string> args : bad) {
    CommandLine line;
    std::string error;
    EXPECT_FALSE(ParseCommandLine(args, line, error)) << args[0];
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace modflash::sim
