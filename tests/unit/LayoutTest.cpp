#include "ui/Layout.h"

#include <gtest/gtest.h>

using namespace ui;

TEST(ElementTable, LookupsAndHitTesting) {
  EXPECT_EQ(ElementRect(ElementId::Start), (CanvasRect{354, 494, 486, 529}));
  EXPECT_EQ(ElementRect(ElementId::Repair), (CanvasRect{}));  // keyboard only
  EXPECT_EQ(HitTest(354, 494), ElementId::Start);
  EXPECT_EQ(HitTest(485, 528), ElementId::Start);
  EXPECT_EQ(HitTest(486, 500), ElementId::Website);  // right edges are exclusive
  EXPECT_EQ(HitTest(745, 20), ElementId::Minimise);
  EXPECT_EQ(HitTest(760, 20), ElementId::None);
  EXPECT_EQ(HitTest(400, 330), ElementId::Calendar);  // tiles come before the banner
  EXPECT_EQ(HitTest(436, 330), ElementId::None);      // gap between tiles, below the banner
  EXPECT_EQ(HitTest(400, 200), ElementId::Banner);
  EXPECT_EQ(HitTest(400, 383), ElementId::BoardRow2);
  int tiles = 0;
  for (const auto& element : kElements) tiles += element.label ? 1 : 0;
  EXPECT_EQ(tiles, 5);
}

TEST(Calendar, TuesdayEveningShowsThreeDistinctEvents) {
  const auto rows = UpcomingEvents(18, 30, 2);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].name, L"Frontier Siege");
  EXPECT_EQ(rows[0].time, L"19:00");
  EXPECT_EQ(rows[1].name, L"Sunken Shrine");
  EXPECT_EQ(rows[1].time, L"Wed 02:30");
  EXPECT_EQ(rows[2].name, L"Ashen Ridge");
  EXPECT_EQ(rows[2].time, L"Wed 06:00");
}

TEST(Calendar, EventStartingThisMinuteIsShown) {
  const auto rows = UpcomingEvents(17, 30, 6);
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows[0].name, L"Sunken Shrine");
  EXPECT_EQ(rows[0].time, L"17:30");
}

TEST(Calendar, LateSaturdayWrapsToSunday) {
  const auto rows = UpcomingEvents(23, 59, 6);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].time, L"Sun 02:30");
  EXPECT_EQ(rows[1].time, L"Sun 05:00");
  EXPECT_EQ(rows[2].time, L"Sun 06:00");
}

TEST(FrameRules, PercentClampingAndFillWidth) {
  EXPECT_EQ(DisplayPercent(true, 150, false), 100);
  EXPECT_EQ(DisplayPercent(true, -5, true), 0);
  EXPECT_EQ(DisplayPercent(true, 42, true), 42);
  EXPECT_EQ(DisplayPercent(false, 42, true), 100);
  EXPECT_EQ(DisplayPercent(false, 42, false), 0);
  EXPECT_EQ(ProgressFillWidth(100), 390);
  EXPECT_EQ(ProgressFillWidth(1), 3);
  EXPECT_EQ(ProgressFillWidth(0), 0);
}

TEST(FrameRules, StatusLineChoice) {
  EXPECT_EQ(ChooseStatusLine(true, L"Downloading", true), kGuardRunningText);
  EXPECT_EQ(ChooseStatusLine(false, L"Downloading", true), L"Downloading");
  EXPECT_EQ(ChooseStatusLine(false, L"", true), kUpToDateText);
  EXPECT_EQ(ChooseStatusLine(false, L"", false), kConnectingText);
}

// One pointer's story over the status line, step by step: the tip waits for
// the pointer to rest, keeps the text it opened with, closes on a change of
// text or on leaving, and needs a new move to open again.
TEST(FrameRules, StatusTipOpensOnRestAndClosesOnChange) {
  struct Step {
    bool hovered, moved;
    const wchar_t* line;
    std::uint64_t now;
    bool open;
  };
  const Step steps[] = {
      {true, true, L"A", 1000, false},    // arrives
      {true, true, L"A", 1300, false},    // a move restarts the wait
      {true, false, L"A", 1500, false},   // so 500 ms after arriving is too soon
      {true, false, L"A", 1700, true},    // rested: opens
      {true, true, L"A", 1800, true},     // moving within keeps it
      {true, false, L"B", 1900, false},   // text changed: closes
      {true, false, L"B", 3000, false},   // and stays closed without a move
      {true, true, L"B", 3100, false},    // a move arms it again
      {true, false, L"B", 3500, true},    // opens with the new text
      {false, false, L"B", 3600, false},  // pointer left
      {true, false, L"B", 5000, false},   // back without a move event: closed
  };
  StatusTip tip;
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    const Step& s = steps[i];
    UpdateStatusTip(tip, s.hovered, s.moved, s.line, s.now);
    EXPECT_EQ(tip.open, s.open) << "step " << i;
    if (tip.open) {
      EXPECT_EQ(tip.text, s.line) << "step " << i;
    }
  }
}

TEST(FrameRules, RetryCountdown) {
  EXPECT_EQ(RetrySecondsLeft(0, 5000), 0);         // no retry waiting
  EXPECT_EQ(RetrySecondsLeft(20000, 5000), 15);
  EXPECT_EQ(RetrySecondsLeft(20000, 5001), 15);    // rounded up
  EXPECT_EQ(RetrySecondsLeft(20000, 19999), 1);
  EXPECT_EQ(RetrySecondsLeft(20000, 20000), 1);    // due: still shown until the run starts
  EXPECT_EQ(RetryCountdownText(45), L"Retrying in 45 s\u2026");
}

TEST(FrameRules, BoardOffsetClamping) {
  EXPECT_EQ(ClampBoardOffset(9, 5), 3u);
  EXPECT_EQ(ClampBoardOffset(2, 5), 2u);
  EXPECT_EQ(ClampBoardOffset(4, 2), 0u);
  EXPECT_EQ(ClampBoardOffset(1, 1), 0u);
  EXPECT_EQ(ClampBoardOffset(1, 0), 0u);
}

TEST(FrameRules, EmptyBoardMessages) {
  EXPECT_EQ(std::wstring(EmptyBoardMessage(true, true)), L"Yay\u0131mlanm\u0131\u015f duyuru yok.");
  EXPECT_EQ(std::wstring(EmptyBoardMessage(false, true)), L"Duyurular \u015fu anda y\u00fcklenemiyor.");
  EXPECT_EQ(std::wstring(EmptyBoardMessage(false, false)), L"Duyurular y\u00fckleniyor\u2026");
}
