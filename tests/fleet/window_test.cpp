#include "fleet/plan/window.h"

#include <gtest/gtest.h>

namespace modflash::fleet {
namespace {

constexpr std::time_t kMinute = 60;
constexpr std::time_t kHour = 60 * kMinute;
constexpr std::time_t kDay = 24 * kHour;
// Thursday 1 January 1970, 00:00, in the test's own clock (UTC).
constexpr std::time_t kThursday = 0;

LocalMinute Utc(std::time_t t) {
  return {static_cast<int>((t / kDay + 4) % 7),
          static_cast<int>(t % kDay / kMinute)};
}

std::vector<MaintenanceWindow> Windows(
    std::initializer_list<const char*> texts) {
  std::vector<MaintenanceWindow> windows;
  for (const char* text : texts) {
    MaintenanceWindow w;
    std::string error;
    EXPECT_TRUE(ParseWindow(text, w, error)) << text << ": " << error;
    windows.push_back(w);
  }
  return windows;
}

TEST(MaintenanceWindowTest, ParsesDaysAndTimesAndRefusesTheRest) {
  MaintenanceWindow w;
  std::string error;
  ASSERT_TRUE(ParseWindow("22:00-05:30", w, error));
  EXPECT_EQ(w.days, 0x7f);
  EXPECT_EQ(w.start, 22 * 60);
  EXPECT_EQ(w.end, 5 * 60 + 30);
  ASSERT_TRUE(ParseWindow("Sat,Sun 00:00-24:00", w, error));
  EXPECT_EQ(w.days, (1 << 6) | 1);
  EXPECT_EQ(w.end, 24 * 60);
  ASSERT_TRUE(
      ParseWindow("fri-MON 20:00-00:00", w, error));  // wraps past Sunday
  EXPECT_EQ(w.days, (1 << 5) | (1 << 6) | 1 | (1 << 1));
  EXPECT_EQ(w.end, 24 * 60);  // until midnight
  for (const char* bad :
       {"", "22:00", "22:00-", "2:00-05:30", "24:00-05:00", "22:60-05:00",
        "22:00-24:01", "10:00-10:00", "Sunday 10:00-11:00", "Sat, 10:00-11:00",
        " 10:00-11:00", "Sat,,Sun 10:00-11:00", "Xyz-Mon 10:00-11:00"}) {
    error.clear();
    EXPECT_FALSE(ParseWindow(bad, w, error)) << '"' << bad << '"';
    EXPECT_FALSE(error.empty()) << '"' << bad << '"';
  }
}

TEST(MaintenanceWindowTest, ANightBelongsToTheDayItOpensOn) {
  const auto night = Windows({"Sat 22:00-05:30"});
  const int sat = 6, sun = 0;
  EXPECT_TRUE(WindowOpenAt(night, {sat, 22 * 60}));
  EXPECT_TRUE(WindowOpenAt(night, {sun, 5 * 60 + 29}));
  EXPECT_FALSE(WindowOpenAt(night, {sun, 5 * 60 + 30}));
  EXPECT_FALSE(
      WindowOpenAt(night, {sat, 5 * 60}));  // Friday's night: not given
  EXPECT_FALSE(WindowOpenAt(night, {sun, 23 * 60}));
  const auto weekend = Windows({"Sat,Sun 00:00-24:00", "Wed 12:00-13:00"});
  EXPECT_TRUE(WindowOpenAt(weekend, {sun, 24 * 60 - 1}));
  EXPECT_FALSE(WindowOpenAt(weekend, {1, 0}));
  EXPECT_TRUE(WindowOpenAt(weekend, {3, 12 * 60 + 59}));
  EXPECT_FALSE(WindowOpenAt({}, {sat, 0}));
}

TEST(MaintenanceWindowTest, FindsTheNextOpeningAndClosingToTheMinute) {
  const auto nights = Windows({"22:00-05:30"});
  const std::time_t noonish = kThursday + 12 * kHour + 34 * kMinute + 56;
  EXPECT_EQ(NextWindowChange(nights, noonish, true, Utc),
            kThursday + 22 * kHour);
  const std::time_t late = kThursday + 23 * kHour + 10;
  EXPECT_EQ(NextWindowChange(nights, late, true, Utc), late);  // open now
  EXPECT_EQ(NextWindowChange(nights, late, false, Utc),
            kThursday + kDay + 5 * kHour + 30 * kMinute);
  EXPECT_EQ(NextWindowChange({}, noonish, true, Utc), std::nullopt);
  const auto always = Windows({"00:00-24:00"});
  EXPECT_EQ(NextWindowChange(always, noonish, false, Utc), std::nullopt);
}

// A wall clock one hour ahead of UTC that jumps a second hour ahead at
// Thursday 01:00 UTC (02:00 local becomes 03:00).
LocalMinute SpringForward(std::time_t t) {
  return Utc(t + (t < kThursday + kHour ? kHour : 2 * kHour));
}

TEST(MaintenanceWindowTest, AnHourSkippedByTheClockOpensNoWindow) {
  const auto skipped = Windows({"02:00-02:30"});
  EXPECT_EQ(NextWindowChange(skipped, kThursday, true, SpringForward),
            kThursday + kDay);  // Friday 02:00 local, 00:00 UTC
}

}  // namespace
}  // namespace modflash::fleet
