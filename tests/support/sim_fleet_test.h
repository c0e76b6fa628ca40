#ifndef MODFLASH_TESTS_SUPPORT_SIM_FLEET_TEST_H_
#define MODFLASH_TESTS_SUPPORT_SIM_FLEET_TEST_H_

// A test of whole fleet runs: an image, rehearsal readers that compare
// their flash with it, their inventory and a run folder to be.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/run_folder.h"
#include "tests/support/temp_dir.h"
#include "tools/readersim/fleet_sim.h"

namespace modflash::testing {

class SimFleetTest : public ::testing::Test {
 protected:
  SimFleetTest() : fleet_(&simLog_) {
    image_ = MakeImage(1, 2, 3);
    imagePath_ = dir_.Write("image.bin", image_);
    runDir_ = dir_.path() / "run";
  }
  ~SimFleetTest() override {
    fleet_.Stop();
    fleet_.Wait();
  }

  // Starts `count` readers that compare their flash with the image after
  // each connection; with `lineTiming` a transfer takes many seconds.
  void StartReaders(size_t count, bool lineTiming) {
    sim::FleetSimOptions layout;
    layout.readers = static_cast<uint32_t>(count);
    sim::SimOptions readers;
    readers.lineTiming = lineTiming;
    readers.expectImage = image_;
    ASSERT_TRUE(fleet_.Start(sim::FleetReaderOptions(readers, layout)));
    const std::string inventory = fleet_.Inventory();
    inventoryPath_ = dir_.Write(
        "fleet.txt", std::vector<uint8_t>(inventory.begin(), inventory.end()));
  }

  TempDir dir_;
  std::vector<uint8_t> image_;
  std::string imagePath_;
  std::string inventoryPath_;
  std::filesystem::path runDir_;
  std::ostringstream simLog_;
  sim::SimFleet fleet_;
};

}  // namespace modflash::testing

#endif  // MODFLASH_TESTS_SUPPORT_SIM_FLEET_TEST_H_
