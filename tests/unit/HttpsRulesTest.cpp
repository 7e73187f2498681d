#include "update/fetch/HttpsRules.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

using orvex_update::IsFallbackPatchEndpoint;

namespace {
constexpr std::array<const char*, 3> kHosts = {"203.0.113.10", "192.168.56.10", "127.0.0.1"};
}

TEST(FallbackEndpoint, EveryDeploymentHostOnPort5443UnderPatch) {
  for (const wchar_t* host : {L"203.0.113.10", L"192.168.56.10", L"127.0.0.1"}) {
    EXPECT_TRUE(IsFallbackPatchEndpoint(host, 5443, L"/patch/", kHosts)) << host;
    EXPECT_TRUE(IsFallbackPatchEndpoint(host, 5443, L"/patch/patch2384.zip", kHosts)) << host;
    EXPECT_TRUE(IsFallbackPatchEndpoint(host, 5443, L"/patch/sub/x.sig", kHosts)) << host;
  }
  // The build's own constants take part the same way.
  EXPECT_TRUE(IsFallbackPatchEndpoint(L"127.0.0.1", 5443, L"/patch/x.zip"));
}

TEST(FallbackEndpoint, NearMissesGetNormalValidation) {
  // Path: exact prefix with its slash, case-sensitive, not merely contained.
  for (const wchar_t* path : {L"/patch", L"/patc", L"", L"/", L"/PATCH/x", L"/Patch/x", L"//patch/x", L"patch/x",
                              L"/patches/x", L"/orvex-patch/x", L"/x/patch/"}) {
    EXPECT_FALSE(IsFallbackPatchEndpoint(L"127.0.0.1", 5443, path, kHosts)) << path;
  }
  // Port: only 5443.
  for (unsigned port : {443u, 5444u, 0u, 5443u + 65536u, 54430u}) {
    EXPECT_FALSE(IsFallbackPatchEndpoint(L"127.0.0.1", port, L"/patch/x", kHosts)) << port;
  }
  // Host: character for character, no name resolution or numeric equivalence.
  for (std::wstring_view host :
       {std::wstring_view(L"localhost"), std::wstring_view(L"127.0.0.2"), std::wstring_view(L"127.0.0.01"),
        std::wstring_view(L"127.000.000.001"), std::wstring_view(L"127.0.0.1."), std::wstring_view(L" 127.0.0.1"),
        std::wstring_view(L"127.0.0.1 "), std::wstring_view(L"0x7f.0.0.1"), std::wstring_view(L"2130706433"),
        std::wstring_view(L"[::1]"), std::wstring_view(L"203.0.113.1"), std::wstring_view(L"203.0.113.100"),
        std::wstring_view(L""), std::wstring_view(L"127.0.0.1\0", 10)}) {
    EXPECT_FALSE(IsFallbackPatchEndpoint(host, 5443, L"/patch/x", kHosts)) << host.size();
  }
  // A wide character whose low byte is an ASCII digit must not pass for it.
  const std::wstring sneaky = {L'1', L'2', static_cast<wchar_t>(0x0137), L'.', L'0', L'.', L'0', L'.', L'1'};
  EXPECT_FALSE(IsFallbackPatchEndpoint(sneaky, 5443, L"/patch/x", kHosts));
}

TEST(Deadline, GetQuarterHourPostTwoHours) {
  EXPECT_EQ(orvex_update::DownloadDeadlineMs(false), 900000u);
  EXPECT_EQ(orvex_update::DownloadDeadlineMs(true), 7200000u);
}

TEST(SizeLimit, ExactFitAcceptedOneMoreRefused) {
  using orvex_update::ChunkFitsLimit;
  EXPECT_TRUE(ChunkFitsLimit(0, 100, 100));
  EXPECT_FALSE(ChunkFitsLimit(0, 101, 100));
  EXPECT_TRUE(ChunkFitsLimit(65536, 34, 65570));
  EXPECT_FALSE(ChunkFitsLimit(65536, 35, 65570));
  EXPECT_FALSE(ChunkFitsLimit(0, 1, 0));
  EXPECT_TRUE(ChunkFitsLimit(0, 0, 0));
}

TEST(SizeLimit, NoWrapNearTheTopOfTheRange) {
  using orvex_update::ChunkFitsLimit;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  EXPECT_TRUE(ChunkFitsLimit(kMax - 65536, 65536, kMax));
  EXPECT_FALSE(ChunkFitsLimit(kMax - 65535, 65536, kMax - 1));
  // received + chunk would wrap to a small number below the limit.
  EXPECT_FALSE(ChunkFitsLimit(kMax - 10, 65536, kMax - 5));
  EXPECT_FALSE(ChunkFitsLimit(101, 0, 100));
}

TEST(RefusalText, ConflictHasItsOwnNoticeOthersCarryTheCode) {
  EXPECT_EQ(orvex_update::RefusalText(409),
            "Onarim katalogu bu surumle eslesmiyor (HTTP 409). Guncel surumun sunucuda yayinlanmasi gerekiyor.");
  EXPECT_EQ(orvex_update::RefusalText(404), "Yama sunucusu istegi reddetti (HTTP 404).");
  EXPECT_EQ(orvex_update::RefusalText(301), "Yama sunucusu istegi reddetti (HTTP 301).");
  EXPECT_EQ(orvex_update::RefusalText(0), "Yama sunucusu istegi reddetti (HTTP 0).");
  EXPECT_EQ(orvex_update::RefusalText(4294967295ul), "Yama sunucusu istegi reddetti (HTTP 4294967295).");
}

TEST(StrictUtf8, WellFormedTextPasses) {
  using orvex_update::IsStrictUtf8Text;
  EXPECT_TRUE(IsStrictUtf8Text("https://127.0.0.1:5444/orvex-patch/patch2384.zip"));
  EXPECT_TRUE(IsStrictUtf8Text("g\xC3\xBCncelleme/\xC4\x9F\xC4\xB1\xC5\x9F.zip"));  // ü ğ ı ş
  EXPECT_TRUE(IsStrictUtf8Text("\xE2\x82\xAC"));                                    // U+20AC
  EXPECT_TRUE(IsStrictUtf8Text("\xED\x9F\xBF\xEE\x80\x80"));                        // around the surrogates
  EXPECT_TRUE(IsStrictUtf8Text("\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"));                // U+10000, U+10FFFF
  EXPECT_TRUE(IsStrictUtf8Text("\x7F"));
}

TEST(StrictUtf8, MalformedTextFails) {
  using orvex_update::IsStrictUtf8Text;
  for (const std::string& bad : {
           std::string("\xC0\xAF"),          // overlong "/"
           std::string("\xC1\xBF"),          // overlong
           std::string("\xE0\x80\xAF"),      // overlong 3-byte "/"
           std::string("\xF0\x80\x80\xAF"),  // overlong 4-byte "/"
           std::string("\xED\xA0\x80"),      // high surrogate
           std::string("\xED\xBF\xBF"),      // low surrogate
           std::string("\xF4\x90\x80\x80"),  // above U+10FFFF
           std::string("\xF5\x80\x80\x80"),  // lead beyond range
           std::string("\xFF"),
           std::string("\xFE"),
           std::string("\x80"),                // lone continuation
           std::string("a\xC3"),               // cut at the end
           std::string("\xE2\x82"),            // cut 3-byte
           std::string("\xF0\x90\x80"),        // cut 4-byte
           std::string("\xC3(x"),              // bad continuation
           std::string("https://h/a\0b", 13),  // embedded NUL would cut the Win32 string
           std::string(1, '\0'),
       }) {
    EXPECT_FALSE(IsStrictUtf8Text(bad)) << bad.size();
  }
}

TEST(QueryOrFragment, AnywhereInTheUrl) {
  using orvex_update::HasQueryOrFragment;
  EXPECT_FALSE(HasQueryOrFragment(L"https://127.0.0.1:5443/patch/x.zip"));
  for (const wchar_t* url : {L"https://h/x?", L"https://h/x?a=1", L"https://h/x#", L"https://h/x#top", L"https://h#x",
                             L"https://h?x", L"https://u#@h/x", L"?", L"#"}) {
    EXPECT_TRUE(HasQueryOrFragment(url)) << url;
  }
}

TEST(ContentLength, DigitsOnlyWithinRange) {
  using orvex_update::ParseContentLength;
  EXPECT_EQ(ParseContentLength(L"0"), 0u);
  EXPECT_EQ(ParseContentLength(L"000123"), 123u);
  EXPECT_EQ(ParseContentLength(L"18446744073709551615"), std::numeric_limits<std::uint64_t>::max());
  for (const wchar_t* bad :
       {L"", L"18446744073709551616", L"99999999999999999999", L"-1", L"+1", L" 1", L"1 ", L"1,2", L"0x10", L"1e3",
        L"\x0131"}) {  // U+0131 is "1" in its low byte
    EXPECT_FALSE(ParseContentLength(bad).has_value()) << bad;
  }
}

TEST(ContentRange, BytesFirstLastComplete) {
  using orvex_update::ParseContentRange;
  const auto range = ParseContentRange(L"bytes 600-999/1000");
  ASSERT_TRUE(range.has_value());
  EXPECT_EQ(range->first, 600u);
  EXPECT_EQ(range->last, 999u);
  EXPECT_EQ(range->complete, 1000u);
  EXPECT_TRUE(ParseContentRange(L"Bytes 0-0/1").has_value());  // the unit ignores case
  EXPECT_EQ(ParseContentRange(L"bytes 0-18446744073709551614/18446744073709551615")->last,
            std::numeric_limits<std::uint64_t>::max() - 1);
  for (const wchar_t* bad :
       {L"", L"bytes", L"bytes ", L"bytes */1000", L"bytes 0-9/*", L"items 0-9/10", L"bytes=0-9/10", L"bytes  0-9/10",
        L"bytes 0-9", L"bytes 0/10", L"bytes 9-0/10", L"bytes 0-10/10", L"bytes -1-9/10", L"bytes 0-9/10 ",
        L"bytes 0-9/10/10", L"bytes 0 -9/10", L"bytes 0-18446744073709551616/18446744073709551617"}) {
    EXPECT_FALSE(ParseContentRange(bad).has_value()) << bad;
  }
}

TEST(ResumedDownload, OnlyAPartialShorterThanTheLimitIsContinued) {
  using orvex_update::ResumeOffset;
  EXPECT_EQ(ResumeOffset(600, 1000), 600u);
  EXPECT_EQ(ResumeOffset(999, 1000), 999u);
  EXPECT_EQ(ResumeOffset(0, 1000), 0u);
  EXPECT_EQ(ResumeOffset(1000, 1000), 0u);  // full size yet here: it failed its check, fetch it again
  EXPECT_EQ(ResumeOffset(1001, 1000), 0u);
  EXPECT_EQ(ResumeOffset(5, 0), 0u);
}

TEST(ResumedDownload, OnlyA206FromTheOffsetToTheEndContinues) {
  using orvex_update::ContinuesPartialBody;
  const auto continues = [](unsigned long status, const wchar_t* range, std::uint64_t offset = 600,
                            std::uint64_t limit = 1000) {
    return ContinuesPartialBody(status, range ? std::optional<std::wstring_view>(range) : std::nullopt, offset,
                                limit);
  };
  EXPECT_TRUE(continues(206, L"bytes 600-999/1000"));
  // Everything else starts over.
  EXPECT_FALSE(continues(200, L"bytes 600-999/1000"));
  EXPECT_FALSE(continues(416, L"bytes */1000"));
  EXPECT_FALSE(continues(206, nullptr));
  EXPECT_FALSE(continues(206, L""));
  EXPECT_FALSE(continues(206, L"bytes 0-999/1000"));     // the whole body again
  EXPECT_FALSE(continues(206, L"bytes 599-999/1000"));   // one byte early
  EXPECT_FALSE(continues(206, L"bytes 601-999/1000"));   // a gap
  EXPECT_FALSE(continues(206, L"bytes 600-799/1000"));   // stops short of the end
  EXPECT_FALSE(continues(206, L"bytes 600-1099/1100"));  // larger than the limit
  EXPECT_FALSE(continues(206, L"bytes 600-899/900"));    // a smaller file than the one signed
  EXPECT_FALSE(continues(206, L"bytes 600-998/999"));
  EXPECT_FALSE(continues(206, L"bytes 600-999/*"));
  EXPECT_FALSE(continues(206, L"bytes 0-0/1", 0));       // nothing to continue
}
