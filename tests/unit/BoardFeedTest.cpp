// The announcements feed rules: JSON shape, item rules, text and date rules,
// strict UTF-8 and the bounded body read.
#include "board/BoardFeed.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace launcher_board {
namespace {

std::string Item(const std::string& id, const std::string& title, const std::string& date = "\"2026-02-01\"") {
  return "{\"id\":" + id + ",\"title\":" + title + ",\"date\":" + date + "}";
}

std::string Feed(const std::vector<std::string>& items) {
  std::string body = "{\"ok\":true,\"items\":[";
  for (std::size_t i = 0; i < items.size(); ++i) body += (i ? "," : "") + items[i];
  return body + "]}";
}

// Titles of a feed that must be accepted.
std::vector<std::wstring> Titles(const std::string& body) {
  const auto list = ParseAnnouncementFeed(body);
  EXPECT_TRUE(list.has_value()) << body;
  std::vector<std::wstring> titles;
  if (list) {
    for (const auto& a : *list) titles.push_back(a.title);
  }
  return titles;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

TEST(BoardFeedShape, RootRulesRejectTheWholeAnswer) {
  const std::string one = Item("1", "\"A\"");
  EXPECT_FALSE(ParseAnnouncementFeed("{\"ok\":false,\"items\":[" + one + "]}"));
  EXPECT_FALSE(ParseAnnouncementFeed("{\"ok\":1,\"items\":[" + one + "]}"));       // not a boolean
  EXPECT_FALSE(ParseAnnouncementFeed("{\"ok\":\"true\",\"items\":[" + one + "]}"));  // not a boolean
  EXPECT_FALSE(ParseAnnouncementFeed("{\"items\":[" + one + "]}"));                  // ok missing
  EXPECT_FALSE(ParseAnnouncementFeed("{\"ok\":true}"));                              // items missing
  EXPECT_FALSE(ParseAnnouncementFeed("{\"ok\":true,\"items\":{\"0\":" + one + "}}"));
  EXPECT_FALSE(ParseAnnouncementFeed("{\"ok\":true,\"items\":null}"));
  EXPECT_FALSE(ParseAnnouncementFeed("[" + one + "]"));  // root not an object
  EXPECT_FALSE(ParseAnnouncementFeed("true"));
  EXPECT_FALSE(ParseAnnouncementFeed(""));
  EXPECT_FALSE(ParseAnnouncementFeed("{\"ok\":true,\"items\":[" + one));  // truncated
  EXPECT_FALSE(ParseAnnouncementFeed(Feed({one}) + "x"));                   // trailing garbage
}

TEST(BoardFeedShape, EmptyItemsIsAnEmptyListAndOtherMembersAreIgnored) {
  const auto empty = ParseAnnouncementFeed("{\"ok\":true,\"items\":[]}");
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
  const auto extra = ParseAnnouncementFeed(
      "{\"version\":3,\"ok\":true,\"items\":[{\"id\":7,\"title\":\"A\",\"url\":\"x\",\"extra\":[1]}],\"more\":{}}");
  ASSERT_TRUE(extra.has_value());
  ASSERT_EQ(extra->size(), 1u);
  EXPECT_EQ((*extra)[0].id, 7u);
  EXPECT_EQ((*extra)[0].title, L"A");
  EXPECT_EQ((*extra)[0].date, L"");  // date is optional
}

TEST(BoardFeedShape, RawInvalidUtf8AnywhereRejectsTheAnswer) {
  // The JSON reader refuses ill-formed UTF-8 in a string, so the answer fails
  // as a whole rather than one item being skipped.
  EXPECT_FALSE(ParseAnnouncementFeed(Feed({Item("1", "\"ok\""), Item("2", "\"bad\xC3(\"")})));
  EXPECT_FALSE(ParseAnnouncementFeed(Feed({Item("1", "\"\xED\xA0\x80\"")})));  // surrogate in UTF-8
}

TEST(BoardFeedShape, DeepNestingIsRejectedWithoutCrashing) {
  const std::string deep = "{\"ok\":true,\"items\":[" + std::string(30000, '[') + std::string(30000, ']') + "]}";
  const auto list = ParseAnnouncementFeed(deep);
  ASSERT_TRUE(list.has_value());  // well-formed: the one item is an array, skipped
  EXPECT_TRUE(list->empty());
  EXPECT_FALSE(ParseAnnouncementFeed(std::string(60000, '[')));
}

TEST(BoardFeedItems, NonObjectsAreSkippedInPlace) {
  EXPECT_EQ(Titles(Feed({"1", "\"x\"", "null", "[]", Item("1", "\"A\""), "true", Item("2", "\"B\"")})),
            (std::vector<std::wstring>{L"A", L"B"}));
}

TEST(BoardFeedItems, IdMustBeAnIntegerFromZeroTo4294967295) {
  const auto list = ParseAnnouncementFeed(Feed({
      Item("-1", "\"neg\""), Item("1.5", "\"frac\""), Item("1.0", "\"float\""), Item("1e2", "\"exp\""),
      Item("\"5\"", "\"string\""), Item("4294967296", "\"big\""), Item("18446744073709551616", "\"huge\""),
      Item("null", "\"null\""), "{\"title\":\"missing\"}", Item("true", "\"bool\""),
      Item("0", "\"zero\""), Item("4294967295", "\"max\""), Item("-0", "\"negzero\"")}));
  ASSERT_TRUE(list.has_value());
  ASSERT_EQ(list->size(), 3u);
  EXPECT_EQ((*list)[0].id, 0u);
  EXPECT_EQ((*list)[0].title, L"zero");
  EXPECT_EQ((*list)[1].id, 4294967295u);
  EXPECT_EQ((*list)[1].title, L"max");
  EXPECT_EQ((*list)[2].id, 0u);
  EXPECT_EQ((*list)[2].title, L"negzero");
}

TEST(BoardFeedItems, TitleMustBeANonEmptyStringOfAtMost480Bytes) {
  const std::string exact(480, 'a');
  const std::string over(481, 'a');
  // 160 three-byte letters are 480 bytes: allowed though more than 120 characters.
  std::string turkish;
  for (int i = 0; i < 160; ++i) turkish += "\xC5\x9F";  // two bytes each: 320 bytes
  std::string euro480;
  for (int i = 0; i < 160; ++i) euro480 += "\xE2\x82\xAC";
  const auto titles = Titles(Feed({Item("1", Quoted(over)), Item("2", Quoted(exact)), Item("3", "\"\""),
                                   Item("4", "5"), Item("5", "null"), "{\"id\":6}", Item("7", Quoted(turkish)),
                                   Item("8", Quoted(euro480)), Item("9", Quoted(euro480 + "a"))}));
  ASSERT_EQ(titles.size(), 3u);
  EXPECT_EQ(titles[0], std::wstring(480, L'a'));
  EXPECT_EQ(titles[1], std::wstring(160, L'\u015F'));
  EXPECT_EQ(titles[2], std::wstring(160, L'\u20AC'));
}

TEST(BoardFeedItems, ControlCharactersBecomeBlanksAndABlankTitleStays) {
  const auto titles = Titles(Feed({Item("1", "\"a\\tb\\nc\\u0000d\\u001fe\\u007f\""), Item("2", "\"\\t\"")}));
  ASSERT_EQ(titles.size(), 2u);
  EXPECT_EQ(titles[0], (std::wstring{L'a', L' ', L'b', L' ', L'c', L' ', L'd', L' ', L'e', L'\x7f'}));
  EXPECT_EQ(titles[1], L" ");  // converts to a non-empty text
}

TEST(BoardFeedItems, EscapedTextAndSurrogatePairsDecode) {
  const auto titles = Titles(Feed({Item("1", "\"Duyuru \\u015fans \\ud83d\\ude00 \xF0\x9F\x98\x80\"")}));
  ASSERT_EQ(titles.size(), 1u);
  EXPECT_EQ(titles[0], WidenUtf16Units(u"Duyuru \u015Fans \U0001F600 \U0001F600"));
  EXPECT_EQ(titles[0].size(), 17u);  // UTF-16 units on both builds: 13 + 2 + 2
}

TEST(BoardFeedItems, DateRuleAndDateLimits) {
  const auto list = ParseAnnouncementFeed(Feed({
      Item("1", "\"a\"", "\"2026-12-06\""), Item("2", "\"b\"", "\"6 Aralik 2026\""),
      Item("3", "\"c\"", Quoted(std::string(41, '1'))), Item("4", "\"d\"", Quoted(std::string(40, '1'))),
      Item("5", "\"e\"", "20260201"), Item("6", "\"f\"", "\"2026-2-1\""), Item("7", "\"g\"", "\"abcd-ef-gh\""),
      Item("8", "\"h\"", "\"2026-02-01T10\""), Item("9", "\"i\"", "\"\\t026-02-01\""),
      Item("10", "\"j\"", "\"\xC3\xA7\""), "{\"id\":11,\"title\":\"k\"}"}));
  ASSERT_TRUE(list.has_value());
  ASSERT_EQ(list->size(), 11u);
  const std::vector<std::wstring> expected{L"06.12.2026", L"6 Aralik 2026", L"", std::wstring(40, L'1'),
                                           L"", L"2026-2-1", L"abcd-ef-gh", L"2026-02-01T10",
                                           L" 026-02-01", L"\u00E7", L""};
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ((*list)[i].date, expected[i]) << i;
}

TEST(BoardFeedItems, AtMostTwelveInFeedOrder) {
  std::vector<std::string> items;
  items.push_back("7");  // skipped ones do not count
  for (int i = 1; i <= 20; ++i) items.push_back(Item(std::to_string(i), Quoted("t" + std::to_string(i))));
  const auto list = ParseAnnouncementFeed(Feed(items));
  ASSERT_TRUE(list.has_value());
  ASSERT_EQ(list->size(), kMaxAnnouncements);
  for (std::size_t i = 0; i < list->size(); ++i) EXPECT_EQ((*list)[i].id, i + 1);

  items.resize(14);  // 13 good items
  ASSERT_EQ(ParseAnnouncementFeed(Feed(items))->size(), 12u);
  items.resize(13);  // 12 good items
  ASSERT_EQ(ParseAnnouncementFeed(Feed(items))->size(), 12u);
  items.resize(12);
  ASSERT_EQ(ParseAnnouncementFeed(Feed(items))->size(), 11u);
}

TEST(BoardFeedText, StrictUtf8AcceptsEveryLengthAtItsBounds) {
  EXPECT_EQ(DecodeUtf8Strict(""), std::u16string());
  EXPECT_EQ(DecodeUtf8Strict("\x7F"), std::u16string(u"\x7F"));
  EXPECT_EQ(DecodeUtf8Strict("\xC2\x80"), std::u16string(u"\u0080"));
  EXPECT_EQ(DecodeUtf8Strict("\xDF\xBF"), std::u16string(u"\u07FF"));
  EXPECT_EQ(DecodeUtf8Strict("\xE0\xA0\x80"), std::u16string(u"\u0800"));
  EXPECT_EQ(DecodeUtf8Strict("\xED\x9F\xBF"), std::u16string(u"\uD7FF"));
  EXPECT_EQ(DecodeUtf8Strict("\xEE\x80\x80"), std::u16string(u"\uE000"));
  EXPECT_EQ(DecodeUtf8Strict("\xEF\xBF\xBF"), std::u16string(u"\uFFFF"));
  EXPECT_EQ(DecodeUtf8Strict("\xF0\x90\x80\x80"), std::u16string(u"\U00010000"));
  EXPECT_EQ(DecodeUtf8Strict("\xF4\x8F\xBF\xBF"), std::u16string(u"\U0010FFFF"));
  EXPECT_EQ(DecodeUtf8Strict(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(BoardFeedText, StrictUtf8RejectsMalformedSequences) {
  for (const char* bad : {"\x80", "\xBF", "a\x80", "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xE0\x9F\xBF",
                          "\xF0\x80\x80\x80", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xED\xBF\xBF",
                          "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "\xFE", "\xC3", "\xE2\x82",
                          "\xF0\x9F\x98", "\xC3(", "\xE2\x28\xA1", "\xF0\x9F\x98\x28"}) {
    EXPECT_FALSE(DecodeUtf8Strict(bad).has_value()) << testing::PrintToString(std::string(bad));
  }
}

TEST(BoardFeedText, FeedTextLimitsConvertsAndBlanksControls) {
  EXPECT_EQ(FeedText("abc", 3), L"abc");
  EXPECT_EQ(FeedText("abcd", 3), L"");
  EXPECT_EQ(FeedText("a\xC3", 10), L"");  // invalid gives empty, not a partial text
  EXPECT_EQ(FeedText("\x01\x1F \x7F", 10), (std::wstring{L' ', L' ', L' ', L'\x7f'}));
  EXPECT_EQ(FeedText("\xC4\xB1\xC5\x9F\xC4\x9F", 6), L"\u0131\u015F\u011F");
  // A four-byte character is two UTF-16 units, high surrogate first.
  const std::wstring emoji = FeedText("\xF0\x9F\x98\x80", 4);
  ASSERT_EQ(emoji.size(), 2u);
  EXPECT_EQ(static_cast<std::uint32_t>(emoji[0]), 0xD83Du);
  EXPECT_EQ(static_cast<std::uint32_t>(emoji[1]), 0xDE00u);
}

TEST(BoardFeedText, DisplayDate) {
  EXPECT_EQ(DisplayDate(L"2026-02-01"), L"01.02.2026");
  EXPECT_EQ(DisplayDate(L"0000-00-00"), L"00.00.0000");
  EXPECT_EQ(DisplayDate(L"2026/02/01"), L"2026/02/01");
  EXPECT_EQ(DisplayDate(L"2026-02-1 "), L"2026-02-1 ");
  EXPECT_EQ(DisplayDate(L"202-602-01"), L"202-602-01");
  EXPECT_EQ(DisplayDate(L"2026-0a-01"), L"2026-0a-01");
  EXPECT_EQ(DisplayDate(L"2026-02-011"), L"2026-02-011");
  EXPECT_EQ(DisplayDate(L""), L"");
}

// A scripted body: chunks to hand out, each read advancing the clock.
struct ScriptedBody {
  std::deque<std::string> chunks;
  std::uint64_t clock = 1000;
  std::uint64_t stepPerRead = 0;
  bool failAtEnd = false;
  std::size_t reads = 0;

  std::optional<std::string> Read() {
    return ReadFeedBody(
        [this](char* buffer, std::size_t capacity, std::size_t& count) {
          ++reads;
          clock += stepPerRead;
          count = 0;
          if (chunks.empty()) return !failAtEnd;
          std::string& front = chunks.front();
          count = std::min(capacity, front.size());
          std::copy_n(front.data(), count, buffer);
          front.erase(0, count);
          if (front.empty()) chunks.pop_front();
          return true;
        },
        [this] { return clock; });
  }
};

TEST(BoardFeedBody, ReadsInChunksUntilAnEmptyRead) {
  ScriptedBody body{{std::string(10000, 'x'), "yz"}};
  const auto text = body.Read();
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->size(), 10002u);
  EXPECT_EQ(body.reads, 5u);  // 4096 + 4096 + 1808 + 2 + end
}

TEST(BoardFeedBody, SizeLimitIs65536Bytes) {
  ScriptedBody exact{{std::string(kMaxFeedBytes, 'x')}};
  ASSERT_TRUE(exact.Read().has_value());
  ScriptedBody over{{std::string(kMaxFeedBytes + 1, 'x')}};
  EXPECT_FALSE(over.Read().has_value());
  EXPECT_EQ(over.reads, kMaxFeedBytes / kFeedChunkBytes + 1);  // stops at the chunk that crosses the limit
  ScriptedBody empty{{}};
  EXPECT_EQ(empty.Read(), std::string());
}

TEST(BoardFeedBody, FailedReadAndDeadline) {
  ScriptedBody failing{{"abc"}};
  failing.failAtEnd = true;
  EXPECT_FALSE(failing.Read().has_value());

  // 5 s from the start: 4 reads of 1 s each fit, the body ends on the 5th.
  ScriptedBody inTime{{"a", "b", "c", "d"}};
  inTime.stepPerRead = 999;
  EXPECT_EQ(inTime.Read(), std::string("abcd"));
  ScriptedBody late{{"a", "b", "c", "d", "e"}};
  late.stepPerRead = 1000;
  EXPECT_FALSE(late.Read().has_value());
  ScriptedBody stuck{{"a"}};
  stuck.stepPerRead = 6000;  // one read that outlasts the whole deadline
  EXPECT_FALSE(stuck.Read().has_value());
}

}  // namespace
}  // namespace launcher_board
