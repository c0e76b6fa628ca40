#include "fleet/inventory.h"

#include <gtest/gtest.h>

namespace modflash::fleet {
namespace {

TEST(InventoryTest, ReadsAddressesPortsNamesAndSkipsComments) {
  std::vector<InventoryError> errors;
  const std::vector<Reader> readers = ParseInventory(
      "# dock readers\n"
      "\n"
      "10.0.0.5\r\n"
      "  10.0.0.6:16535   dock 6 north  # spare\n"
      "10.0.0.5:5001\tgate\n",
      errors);
  EXPECT_TRUE(errors.empty());
  ASSERT_EQ(readers.size(), 3u);
  EXPECT_EQ(readers[0].name, "10.0.0.5:5000");
  EXPECT_EQ(readers[0].port, 5000);
  EXPECT_EQ(readers[0].line, 3);
  EXPECT_EQ(readers[1].address, "10.0.0.6");
  EXPECT_EQ(readers[1].port, 16535);
  EXPECT_EQ(readers[1].name, "dock 6 north");
  EXPECT_EQ(readers[2].name, "gate");
  EXPECT_EQ(readers[2].port, 5001);
}

TEST(InventoryTest, ReportsEveryBadLineWithItsNumber) {
  std::vector<InventoryError> errors;
  const std::vector<Reader> readers = ParseInventory(
      "10.0.0.1 a\n"
      "10.0.0.256\n"
      "reader.local:5000\n"
      "10.0.0.2:0\n"
      "10.0.0.3:16536\n"
      "10.0.0.4:50x\n"
      "10.0.0.1:5000 again\n"
      "10.0.0\n",
      errors);
  ASSERT_EQ(errors.size(), 7u);
  const int lines[] = {2, 3, 4, 5, 6, 7, 8};
  for (size_t i = 0; i < errors.size(); ++i) {
    EXPECT_EQ(errors[i].line, lines[i]) << errors[i].message;
  }
  EXPECT_EQ(errors[0].message, "'10.0.0.256' is not an IPv4 address (a.b.c.d)");
  EXPECT_EQ(errors[3].message, "port '16536' is not a number from 1 to 16535");
  EXPECT_EQ(errors[5].message,
            "10.0.0.1:5000 is listed twice (first on line 1)");
  EXPECT_EQ(readers.size(), 1u);
}

}  // namespace
}  // namespace modflash::fleet
