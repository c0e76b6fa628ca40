// The live display's frame as a function of the terminal's size: what
// fits, in which order, and how wide.

#include "fleet/console/display_fit.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fleet/console/table.h"

namespace modflash::fleet {
namespace {

// `count` running readers named reader-1.. whose progress rises with their
// number.
LiveView Running(size_t count) {
  LiveView view;
  for (size_t i = 1; i <= count; ++i) {
    view.running.push_back(
        {"reader-" + std::to_string(i), "transfer", static_cast<int>(i), 10.0});
  }
  view.totals.readers = count;
  view.totals.running = count;
  view.elapsed = 65;
  return view;
}

void AddFailed(LiveView& view, size_t count) {
  for (size_t i = 1; i <= count; ++i) {
    view.failed.push_back(
        {"bad-" + std::to_string(i), "Set baud rate failed."});
  }
  view.totals.failed += count;
}

// The reader names on reader lines ("  NAME  ..."), in order.
std::vector<std::string> Names(const std::vector<std::string>& lines) {
  std::vector<std::string> names;
  for (const std::string& line : lines) {
    if (line.rfind("  ", 0) != 0 || line.rfind("  +", 0) == 0) continue;
    names.push_back(line.substr(2, line.find(' ', 2) - 2));
  }
  return names;
}

TEST(FitLiveTest, MoreReadersThanRowsShowsTheFurthestAndCountsTheRest) {
  const std::vector<std::string> lines = FitLive(Running(40), 24, 80);
  // 21 readers, "+N more" and the status line leave the cursor's row free.
  ASSERT_EQ(lines.size(), 23u);
  const std::vector<std::string> names = Names(lines);
  ASSERT_EQ(names.size(), 21u);
  EXPECT_EQ(names.front(), "reader-40");
  EXPECT_EQ(names.back(), "reader-20");
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 21u);
  EXPECT_EQ(lines[0], "  reader-40  transfer         40%");
  EXPECT_EQ(lines[21], "  +19 more running");
  EXPECT_EQ(lines[22], "1:05 elapsed, 0/40 done, 0 failed, 40 running");
}

TEST(FitLiveTest, FailedReadersComeFirstButLeaveRunningOnesHalf) {
  LiveView view = Running(2);
  AddFailed(view, 1);
  view.totals.readers = 3;
  EXPECT_EQ(FitLive(view, 24, 80),
            (std::vector<std::string>{
                "  bad-1     failed: Set baud rate failed.",
                "  reader-2  transfer          2%",
                "  reader-1  transfer          1%",
                "1:05 elapsed, 1/3 done, 1 failed, 2 running"}));

  // 12 rows: 9 for readers, one for "+N more".
  view = Running(30);
  AddFailed(view, 3);
  std::vector<std::string> names = Names(FitLive(view, 12, 80));
  EXPECT_EQ(names, (std::vector<std::string>{
                       "bad-1", "bad-2", "bad-3", "reader-30", "reader-29",
                       "reader-28", "reader-27", "reader-26", "reader-25"}));
  view = Running(30);
  AddFailed(view, 20);
  std::vector<std::string> lines = FitLive(view, 12, 80);
  names = Names(lines);
  EXPECT_EQ(names.size(), 9u);
  EXPECT_EQ(names[4], "bad-5");
  EXPECT_EQ(names[5], "reader-30");
  EXPECT_EQ(lines[9], "  +41 more: 15 failed, 26 running");
  // Few running: the failures take the rows those leave.
  view = Running(2);
  AddFailed(view, 20);
  lines = FitLive(view, 12, 80);
  EXPECT_EQ(Names(lines)[6], "bad-7");
  EXPECT_EQ(Names(lines)[7], "reader-2");
  EXPECT_EQ(lines[9], "  +13 more failed");
}

TEST(FitLiveTest, EveryLineFitsTheWidthAndTinyScreensKeepTheStatus) {
  LiveView view = Running(5);
  view.running[0].name = "Halle-S\xC3\xBC\x64-7-with-a-very-long-name\x1b[2J";
  view.failed.push_back({"bad", std::string(200, 'x')});
  for (const int columns : {10, 30, 80}) {
    for (const std::string& line : FitLive(view, 24, columns)) {
      EXPECT_LE(TextWidth(line), static_cast<size_t>(columns - 1)) << line;
      EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
    }
  }
  EXPECT_EQ(CutToWidth("S\xC3\xBC\x64", 2), "S\xC3\xBC");
  EXPECT_EQ(CutToWidth("a\tb\x7f", 10), "a?b?");

  // 3 rows: the status line, "+N more" and the cursor's row.
  EXPECT_EQ(FitLive(view, 3, 80),
            (std::vector<std::string>{
                "  +6 more: 1 failed, 5 running",
                "1:05 elapsed, 0/5 done, 0 failed, 5 running"}));
  EXPECT_EQ(FitLive(view, 2, 80).size(), 1u);
  EXPECT_TRUE(FitLive(view, 1, 80).empty());
}

TEST(FitLiveTest, StatusLineDropsTheLeastNeededFieldsWhenNarrow) {
  LiveView view;
  view.elapsed = 192;
  view.left = 270;
  view.totals = {500, 40, 340, 110, 10, 0, 2, 5, ""};
  EXPECT_EQ(FitLive(view, 24, 200).back(),
            "3:12 elapsed, about 4:30 left, wave 2 of 5, 120/500 done, 10 "
            "failed, 40 running, 340 waiting");
  EXPECT_EQ(FitLive(view, 24, 80).back(),
            "3:12 elapsed, about 4:30 left, wave 2 of 5, 120/500 done, 10 "
            "failed, 40 running");
  EXPECT_EQ(FitLive(view, 24, 40).back(),
            "3:12 elapsed, 120/500 done, 10 failed");

  view.totals = {500, 3, 0, 110, 10, 377, 0, 0, "interrupted"};
  view.left.reset();
  EXPECT_EQ(FitLive(view, 24, 200).back(),
            "3:12 elapsed, 120/500 done, 10 failed, 377 not started, 3 "
            "running, stopped: interrupted");
}

TEST(EstimateTest, WaitingUpdatesTakeTheFirstFreeSlot) {
  // Slots free at 50 and 10; the three waiting start at 10, 50 and 70.
  EXPECT_DOUBLE_EQ(EstimateSecondsLeft(60, {10, 50}, 3, 2), 130);
  // Free slots start the waiting ones at once.
  EXPECT_DOUBLE_EQ(EstimateSecondsLeft(60, {}, 4, 16), 60);
  EXPECT_DOUBLE_EQ(EstimateSecondsLeft(60, {}, 5, 2), 180);
  // An update past the typical time is taken to end now.
  EXPECT_DOUBLE_EQ(EstimateSecondsLeft(60, {90, 30}, 0, 2), 30);
  EXPECT_DOUBLE_EQ(EstimateSecondsLeft(60, {}, 0, 2), 0);
}

TEST(EstimateTest, DurationsReadAsMinutesThenHours) {
  EXPECT_EQ(DurationText(0), "0:00");
  EXPECT_EQ(DurationText(59.6), "1:00");
  EXPECT_EQ(DurationText(605), "10:05");
  EXPECT_EQ(DurationText(3723), "1:02:03");
  EXPECT_EQ(DurationText(-3), "0:00");
}

// The summary tables: a growing column takes its widest cell up to its
// limit and cuts there by characters, a fixed one pads to its width and
// never cuts, the last one is neither padded nor cut; a byte that begins
// no UTF-8 sequence counts as one character.
TEST(ConsoleTableTest, ColumnsArePaddedAndCutByCharacters) {
  ConsoleTable table(
      {{"name", 0, true, 5}, {"kind", 6, false, 0}, {"detail", 0, false, 0}});
  table.Add({"S\xC3\xBC\x64", "a", "first"});
  table.Add({"\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6\xC3\xBC",
             "longer-than-six", "x"});
  table.Add({"ab\xFF", "", ""});
  std::ostringstream out;
  table.Print(out);
  EXPECT_EQ(out.str(),
            "name   kind    detail\n"
            "S\xC3\xBC\x64    a       first\n"
            "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6  longer-than-six  x\n"
            "ab\xFF    "
            "        \n");
  EXPECT_EQ(Pad("S\xC3\xBC\x64", 5), "S\xC3\xBC\x64  ");
  EXPECT_EQ(TextWidth("ab\xFF\xC3\xBC"), 4u);
}

}  // namespace
}  // namespace modflash::fleet
