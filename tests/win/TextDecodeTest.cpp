#include "common/Utf8.h"

#include <gtest/gtest.h>

#include "ui/TurkeyTime.h"

TEST(StatusText, Utf8IsDecodedStrictly) {
  EXPECT_EQ(win::DecodeStatusText("Ba\xC5\x9Flat"), L"Ba\u015flat");
  EXPECT_EQ(win::DecodeStatusText(""), L"");
  EXPECT_EQ(win::DecodeStatusText("Disconnected."), L"Disconnected.");
}

TEST(StatusText, InvalidUtf8FallsBackToTurkishCodePage) {
  // 0xFE, 0xDD and 0xF0 are \u015f, \u0130 and \u011f in Windows-1254.
  EXPECT_EQ(win::DecodeStatusText("Ba\xFEla \xDDstanbul da\xF0"), L"Ba\u015fla \u0130stanbul da\u011f");
  // An overlong UTF-8 form is invalid and read as 1254 text too.
  EXPECT_EQ(win::DecodeStatusText("\xC0\xAF"), L"\u00c0\u00af");
}

TEST(StatusText, StrictWideningRejectsBrokenSequences) {
  EXPECT_EQ(win::WidenStrictUtf8("https://orvex.example/"), L"https://orvex.example/");
  EXPECT_EQ(win::WidenStrictUtf8("caf\xC3"), L"");
}

TEST(TurkeyTime, IsThreeHoursAheadOfUtc) {
  const auto local = ui::CurrentTurkeyTime();
  ASSERT_TRUE(local.has_value());
  SYSTEMTIME utc{};
  ::GetSystemTime(&utc);
  const int minutesLocal = local->wHour * 60 + local->wMinute;
  const int minutesUtc = utc.wHour * 60 + utc.wMinute;
  const int difference = ((minutesLocal - minutesUtc) % 1440 + 1440) % 1440;
  // Turkey keeps UTC+3 all year; allow the minute to roll over between the two reads.
  EXPECT_TRUE(difference == 180 || difference == 181) << difference;
}
