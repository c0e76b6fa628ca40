#include "fleet/plan/inventory.h"

#include <gtest/gtest.h>

#include <map>

namespace modflash::fleet {
namespace {

// Host names as a site's name service would answer them; anything else
// does not resolve.
bool FakeResolver(const std::string& host, std::vector<std::string>& addresses,
                  std::string& error) {
  static const std::map<std::string, std::vector<std::string>> kNames = {
      {"dock-1.hall2", {"10.0.2.11"}},
      {"gate", {"10.0.0.9", "10.0.1.9"}},
      {"alias-of-dock-1", {"10.0.2.11"}}};
  const auto it = kNames.find(host);
  if (it == kNames.end()) {
    error = "Name or service not known";
    return false;
  }
  addresses = it->second;
  return true;
}

std::vector<Reader> Parse(const std::string& text,
                          std::vector<InventoryError>& errors) {
  return ParseInventory(text, errors, FakeResolver);
}

TEST(InventoryTest, ReadsAddressesHostNamesPortsAndNames) {
  std::vector<InventoryError> errors;
  const std::vector<Reader> readers = Parse(
      "\xEF\xBB\xBF# dock readers\n"
      "\n"
      "10.0.0.5\r\n"
      "  10.0.0.6:16535   dock 6 north  # spare\n"
      "dock-1.hall2:5001\tdock-1\n"
      "gate\n"
      "10.0.0.7 Halle S\xFC"
      "d\n",
      errors);
  EXPECT_TRUE(errors.empty()) << errors[0].message;
  ASSERT_EQ(readers.size(), 5u);
  EXPECT_EQ(readers[0].name, "10.0.0.5:5000");
  EXPECT_EQ(readers[0].host, "10.0.0.5");
  EXPECT_EQ(readers[0].port, 5000);
  EXPECT_EQ(readers[0].line, 3);
  EXPECT_EQ(readers[1].address, "10.0.0.6");
  EXPECT_EQ(readers[1].port, 16535);
  EXPECT_EQ(readers[1].name, "dock 6 north");
  // A host name keeps its spelling; the address is the one it resolved to.
  EXPECT_EQ(readers[2].host, "dock-1.hall2");
  EXPECT_EQ(readers[2].address, "10.0.2.11");
  EXPECT_EQ(readers[2].port, 5001);
  EXPECT_TRUE(readers[2].note.empty());
  EXPECT_EQ(readers[3].name, "gate:5000");
  EXPECT_EQ(readers[3].address, "10.0.0.9");
  EXPECT_EQ(readers[3].note,
            "gate resolves to 2 IPv4 addresses; the first, 10.0.0.9, is used");
  // A name that is not UTF-8 (here Latin-1) is made so.
  EXPECT_EQ(readers[4].name,
            "Halle S\xEF\xBF\xBD"
            "d");
}

TEST(InventoryTest, ReportsEveryBadLineWithItsNumber) {
  std::vector<InventoryError> errors;
  const std::vector<Reader> readers = Parse(
      "10.0.0.1 a\n"
      "10.0.0.256\n"
      "reader.invalid:5000\n"
      "10.0.0.2:0\n"
      "10.0.0.3:16536\n"
      "10.0.0.4:50x\n"
      "10.0.0.1:5000 again\n"
      "10.0.0\n"
      "127.0.0.01\n"
      "dock-1.hall2\n"
      "alias-of-dock-1:5000\n"
      "bad_name!\n",
      errors);
  ASSERT_EQ(errors.size(), 10u);
  const int lines[] = {2, 3, 4, 5, 6, 7, 8, 9, 11, 12};
  for (size_t i = 0; i < errors.size(); ++i) {
    EXPECT_EQ(errors[i].line, lines[i]) << errors[i].message;
  }
  EXPECT_EQ(errors[0].message,
            "'10.0.0.256' is not an IPv4 address (a.b.c.d, without leading "
            "zeros)");
  EXPECT_EQ(errors[1].message,
            "host name 'reader.invalid' does not resolve to an IPv4 address "
            "(Name or service not known)");
  EXPECT_EQ(errors[3].message, "port '16536' is not a number from 1 to 16535");
  EXPECT_EQ(errors[5].message,
            "10.0.0.1:5000 is listed twice (first on line 1)");
  // Leading zeros: some systems read such a part as octal, another reader.
  EXPECT_EQ(errors[7].message,
            "'127.0.0.01' is not an IPv4 address (a.b.c.d, without leading "
            "zeros)");
  // Two names of one reader are one reader.
  EXPECT_EQ(errors[8].message,
            "alias-of-dock-1:5000 (10.0.2.11:5000) is listed twice (first on "
            "line 10)");
  EXPECT_EQ(errors[9].message,
            "'bad_name!' is neither an IPv4 address nor a host name");
  EXPECT_EQ(readers.size(), 2u);
}

// Other notations of an address are refused as addresses, not looked up
// as names (a resolver would take them); a name may end with the root's dot.
TEST(InventoryTest, OtherAddressNotationsAreRefusedAndARootDotEndsAName) {
  std::vector<InventoryError> errors;
  const std::vector<Reader> readers = Parse(
      "0x7f.0.0.1\n0X7F000001:5001\n0x7f.1\ngate.\n0xbad.example\n", errors);
  ASSERT_EQ(errors.size(), 4u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_NE(errors[i].message.find("' is not an IPv4 address (a.b.c.d"),
              std::string::npos)
        << errors[i].message;
  }
  EXPECT_EQ(errors[0].message,
            "'0x7f.0.0.1' is not an IPv4 address (a.b.c.d, without leading "
            "zeros)");
  // A name whose labels are not all numbers is looked up as a name.
  EXPECT_EQ(errors[3].message,
            "host name '0xbad.example' does not resolve to an IPv4 address "
            "(Name or service not known)");
  ASSERT_EQ(readers.size(), 1u);
  EXPECT_EQ(readers[0].host, "gate.");
  EXPECT_EQ(readers[0].address, "10.0.0.9");
}

}  // namespace
}  // namespace modflash::fleet
