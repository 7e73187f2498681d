// HttpsDownload against tools/test_servers/patch_server.py, which tests/win/run_https_tests.sh
// starts before this binary: the pinned fallback endpoint on 127.0.0.1:5443
// under /patch/ and the "CDN" endpoint on 127.0.0.1:5444 under /orvex-patch/,
// whose certificate comes from the development CA that the test Wine prefix
// trusts. Path segments starting with "_" pick the server's behaviour per
// request (see the server's help). ORVEX_PATCH_LOG names its request log.
#include "update/fetch/Https.h"

#include "WinTestUtil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using orvex_update::HttpsDownload;
using Clock = std::chrono::steady_clock;

const std::string kFallback = "https://127.0.0.1:5443/patch/";
const std::string kCdn = "https://127.0.0.1:5444/orvex-patch/";

constexpr const char* kExceeds = "Downloaded file exceeds its size limit.";
constexpr const char* kCertificateFailed = "HTTPS request or certificate validation failed.";
constexpr const char* kPinMismatch = "ORVEX update certificate does not match the published server.";
constexpr const char* kNotHttps = "Only an HTTPS update URL without credentials is allowed.";
constexpr const char* kInterrupted = "Update connection interrupted.";

struct ProgressCall {
  std::uint64_t done;
  std::uint64_t total;
  bool operator==(const ProgressCall&) const = default;
};

// The server's generated body: byte i is i % 251 (251 is prime, so a chunk
// written twice or out of order cannot line up by accident).
std::string Pattern(std::size_t size) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>(i % 251);
  return out;
}

// A path segment no other request carries, to find (or miss) a request in the log.
std::string Marker() {
  static int counter = 0;
  return "m" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++counter);
}

// The server writes a Unix path; under Wine the Unix root is drive Z:.
std::filesystem::path RequestLogPath() {
  const char* log = std::getenv("ORVEX_PATCH_LOG");
  if (log == nullptr || *log == '\0') return {};
  const std::string text = log;
  return text[0] == '/' ? std::filesystem::path("Z:" + text) : std::filesystem::path(text);
}

std::string RequestLog() {
  const auto path = RequestLogPath();
  return path.empty() ? std::string() : testutil::ReadText(path);
}

std::size_t CountOf(const std::string& haystack, const std::string& needle) {
  std::size_t count = 0;
  for (auto at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++count;
  return count;
}

// True when nobody holds the file open any more (the transfer opened it
// without sharing, so a leaked handle makes this exclusive open fail).
bool FileIsClosed(const std::filesystem::path& file) {
  const HANDLE h = ::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(h);
  return true;
}

class Https : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(RequestLogPath().empty()) << "run through tests/win/run_https_tests.sh (ORVEX_PATCH_LOG unset)";
  }

  // Runs one download into a fresh file; returns the error text, empty on success.
  std::string Fetch(const std::string& url, std::uint64_t limit, const std::string& body = {}) {
    calls_.clear();
    std::error_code ignored;
    std::filesystem::remove(file_, ignored);
    try {
      HttpsDownload(url, file_, limit, body, [this](std::uint64_t done, std::uint64_t total) {
        calls_.push_back({done, total});
      });
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return {};
  }

  std::string Body() const { return testutil::ReadText(file_); }

  testutil::ScratchFolder folder_{"https"};
  std::filesystem::path file_ = folder_.Path() / "download.bin";
  std::vector<ProgressCall> calls_;
};

// --- Requests refused before any connection -------------------------------------------

TEST_F(Https, RefusedUrlsNeverConnectAndStillReportProgressFirst) {
  struct Case {
    std::string url;
    const char* message;
  };
  const std::string marker = Marker();
  const std::string tail = "127.0.0.1:5444/orvex-patch/_size-10/" + marker;
  const std::vector<Case> cases = {
      {"http://" + tail, kNotHttps},
      {"ftp://" + tail, kNotHttps},
      {"https://user@" + tail, kNotHttps},
      {"https://user:secret@" + tail, kNotHttps},
      {"https://:secret@" + tail, kNotHttps},
      {"127.0.0.1:5444/orvex-patch/" + marker, kNotHttps},
      {"https://", kNotHttps},
      {"https:///orvex-patch/" + marker, kNotHttps},
      {"https://" + tail + "?v=1", "Update URL must not contain a query or fragment."},
      {"https://" + tail + "?", "Update URL must not contain a query or fragment."},
      {"https://" + tail + "#part", "Update URL must not contain a query or fragment."},
      {"https://" + tail + "#", "Update URL must not contain a query or fragment."},
      {"https://127.0.0.1:5444#" + marker, "Update URL must not contain a query or fragment."},
      {"", "Invalid update URL."},
      {"https://" + tail + "\xC3", "Invalid update URL."},
      {"https://" + tail + "\xC0\xAF", "Invalid update URL."},
      {"https://" + tail + "\xED\xA0\x80", "Invalid update URL."},
      {"https://" + tail + std::string(1, '\0') + "?q", "Invalid update URL."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Fetch(c.url, 1234), c.message) << c.url;
    EXPECT_EQ(calls_, (std::vector<ProgressCall>{{0, 1234}})) << c.url;
    EXPECT_FALSE(std::filesystem::exists(file_)) << c.url;
  }
  EXPECT_EQ(RequestLog().find(marker), std::string::npos) << "a refused url reached the server";
}

TEST(WidenUtf8, StrictConversion) {
  EXPECT_EQ(orvex_update::WidenUtf8("https://h/\xC4\x9F\xC3\xBC\xC5\x9F"), L"https://h/\u011f\u00fc\u015f");
  EXPECT_EQ(orvex_update::WidenUtf8("\xF0\x9F\x98\x80"), std::wstring({wchar_t(0xD83D), wchar_t(0xDE00)}));
  for (const std::string& bad : {std::string(), std::string("\xFF"), std::string("a\0b", 3),
                                 std::string("\xE0\x80\xAF"), std::string("\xF4\x90\x80\x80")}) {
    try {
      orvex_update::WidenUtf8(bad);
      ADD_FAILURE() << "accepted " << bad.size() << " bytes";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "Invalid update URL.");
    }
  }
}

// --- Size limit, body integrity, progress ---------------------------------------------

TEST_F(Https, BodyOfExactlyTheLimitIsAcceptedWithProgress) {
  constexpr std::size_t kSize = 3 * 65536 + 17;  // several full reads and a short one
  ASSERT_EQ(Fetch(kCdn + "_size-" + std::to_string(kSize) + "/" + Marker(), kSize), "");
  EXPECT_EQ(Body(), Pattern(kSize));
  ASSERT_GE(calls_.size(), 2u);
  EXPECT_EQ(calls_.front(), (ProgressCall{0, kSize}));
  EXPECT_EQ(calls_.back(), (ProgressCall{kSize, kSize}));
  for (std::size_t i = 1; i < calls_.size(); ++i) {
    EXPECT_GT(calls_[i].done, calls_[i - 1].done);
    EXPECT_LE(calls_[i].done - calls_[i - 1].done, 65536u);
    EXPECT_EQ(calls_[i].total, kSize);
  }

  ASSERT_EQ(Fetch(kCdn + "_size-0/" + Marker(), 0), "");
  EXPECT_TRUE(std::filesystem::exists(file_));
  EXPECT_EQ(std::filesystem::file_size(file_), 0u);
}

TEST_F(Https, OneByteOverTheLimitIsRefusedWithAtMostTheLimitOnDisk) {
  // With a Content-Length and without one (the body then ends with the
  // connection), small and across several reads.
  for (const std::size_t limit : {std::size_t{0}, std::size_t{1000}, std::size_t{2 * 65536 + 5}}) {
    for (const std::string& length : {std::string(), std::string("_nolength/")}) {
      const std::string url = kCdn + length + "_size-" + std::to_string(limit + 1) + "/" + Marker();
      EXPECT_EQ(Fetch(url, limit), kExceeds) << url;
      ASSERT_TRUE(std::filesystem::exists(file_)) << url;
      const std::string kept = Body();
      EXPECT_LE(kept.size(), limit) << url;
      EXPECT_EQ(kept, Pattern(kept.size())) << url;
      EXPECT_TRUE(FileIsClosed(file_)) << url;
    }
  }
  // A close-delimited body of exactly the limit is still whole.
  EXPECT_EQ(Fetch(kCdn + "_nolength/_size-70000/" + Marker(), 70000), "");
  EXPECT_EQ(Body(), Pattern(70000));
}

TEST_F(Https, BytesBeyondTheAnnouncedLengthAreNotTaken) {
  ASSERT_EQ(Fetch(kCdn + "_size-5000/_extra-3000/" + Marker(), 100000), "");
  EXPECT_EQ(Body(), Pattern(5000));
}

TEST_F(Https, BodyCutShortOfItsLengthIsAnInterruption) {
  const std::string url = kCdn + "_size-200000/_truncate-70000/" + Marker();
  EXPECT_EQ(Fetch(url, 1000000), kInterrupted);
  EXPECT_LE(std::filesystem::file_size(file_), 70000u);
  EXPECT_TRUE(FileIsClosed(file_));
}

// --- Continuing a partial body ---------------------------------------------------------

// The request log's lines for one marker, in order.
std::vector<std::string> LoggedRequests(const std::string& marker) {
  std::vector<std::string> lines;
  const std::string log = RequestLog();
  for (std::size_t at = 0, end; at < log.size(); at = end + 1) {
    end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(at, end - at);
    if (line.find(marker) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

TEST_F(Https, PartialBodyContinuesOnlyFromAMatchingRangeAnswerOtherwiseStartsOver) {
  constexpr std::uint64_t kSize = 3 * 65536 + 17;
  const std::string garbage(70000, 'x');
  struct Case {
    const char* name;
    std::string switches;
    std::string kept;           // the partial body on disk before the call
    std::uint64_t served;       // the size of the body the server has
    std::uint64_t continuedAt;  // the expected return value
    std::vector<bool> ranged;   // per logged request: asked with a Range header
    const char* error = nullptr;
  };
  const std::vector<Case> cases = {
      {"206 continues", "", Pattern(70000), kSize, 70000, {true}},
      {"200 is the whole body", "_noranges/", garbage, kSize, 0, {true}},
      {"206 of another range", "_wrongrange/", garbage, kSize, 0, {true, false}},
      {"416 past the server's end", "", garbage, 50000, 0, {true, false}},
      {"a full-size file is fetched again", "", std::string(kSize, 'x'), kSize, 0, {false}},
      {"an empty file is fetched whole", "", std::string(), kSize, 0, {false}},
      {"206 of a smaller file starts over", "", garbage, kSize - 1000, 0, {true, false}},
      {"206 without a length that ends early", "_nolength/_truncate-1000/", Pattern(70000), kSize, 0, {true},
       kInterrupted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::ofstream out(file_, std::ios::binary | std::ios::trunc);
      out << c.kept;
    }
    calls_.clear();
    const std::string marker = Marker();
    std::uint64_t continuedAt = 99;
    try {
      continuedAt = orvex_update::HttpsResumeDownload(
          kCdn + c.switches + "_size-" + std::to_string(c.served) + "/" + marker, file_, kSize,
          [this](std::uint64_t done, std::uint64_t total) { calls_.push_back({done, total}); });
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), c.error ? c.error : "");
      EXPECT_TRUE(FileIsClosed(file_));
      EXPECT_EQ(LoggedRequests(marker).size(), c.ranged.size());
      continue;
    }
    EXPECT_EQ(c.error, nullptr) << "succeeded";
    EXPECT_EQ(continuedAt, c.continuedAt);
    EXPECT_EQ(Body(), Pattern(c.served));
    EXPECT_TRUE(FileIsClosed(file_));
    // Progress starts where the file was continued from and goes back to 0
    // when the answer forces a fresh start.
    ASSERT_GE(calls_.size(), 2u);
    EXPECT_EQ(calls_.front(), (ProgressCall{c.ranged.front() ? c.kept.size() : 0u, kSize}));
    if (c.ranged.front() && continuedAt == 0) {
      EXPECT_EQ(calls_[1], (ProgressCall{0, kSize}));
    }
    EXPECT_EQ(calls_.back(), (ProgressCall{c.served, kSize}));
    const std::vector<std::string> requests = LoggedRequests(marker);
    ASSERT_EQ(requests.size(), c.ranged.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
      const std::string asked = "\"range\": \"bytes=" + std::to_string(c.kept.size()) + "-\"";
      EXPECT_EQ(requests[i].find(c.ranged[i] ? asked : "\"range\": null") != std::string::npos, true) << requests[i];
    }
  }
}

// --- Status and redirects --------------------------------------------------------------

TEST_F(Https, NonSuccessStatusesAreRefusedWithTheirTexts) {
  EXPECT_EQ(Fetch(kCdn + "_status-409/" + Marker(), 100),
            "Onarim katalogu bu surumle eslesmiyor (HTTP 409). Guncel surumun sunucuda yayinlanmasi gerekiyor.");
  EXPECT_EQ(Fetch(kCdn + "_status-404/" + Marker(), 100), "Yama sunucusu istegi reddetti (HTTP 404).");
  EXPECT_EQ(Fetch(kCdn + "_status-500/_size-10/" + Marker(), 100), "Yama sunucusu istegi reddetti (HTTP 500).");
  EXPECT_EQ(Fetch(kCdn + "_status-204/" + Marker(), 100), "Yama sunucusu istegi reddetti (HTTP 204).");
  // A refusal comes before the destination is created.
  EXPECT_FALSE(std::filesystem::exists(file_));
}

TEST_F(Https, RedirectsAreNotFollowed) {
  for (const int status : {301, 302, 307}) {
    // The Location names the same request without the status switch, which
    // would succeed: following it would turn this into a 200.
    const std::string marker = Marker();
    EXPECT_EQ(Fetch(kCdn + "_status-" + std::to_string(status) + "/_size-10/" + marker, 100),
              "Yama sunucusu istegi reddetti (HTTP " + std::to_string(status) + ").");
    EXPECT_EQ(CountOf(RequestLog(), marker + " HTTP/1.1"), 1u) << status;
  }
}

TEST_F(Https, UrlWithoutPathRequestsTheRoot) {
  const std::string root = "\"request_line\": \"GET / HTTP/1.1\"";
  const std::size_t before = CountOf(RequestLog(), root);
  EXPECT_EQ(Fetch("https://127.0.0.1:5444", 100), "Yama sunucusu istegi reddetti (HTTP 404).");
  EXPECT_EQ(CountOf(RequestLog(), root), before + 1);
}

// --- Certificates -------------------------------------------------------------------------

TEST_F(Https, CdnCertificateFromTheTrustedDevelopmentCaValidates) {
  ASSERT_EQ(Fetch(kCdn + "_size-1000/" + Marker(), 1000), "");
  EXPECT_EQ(Body(), Pattern(1000));
}

TEST_F(Https, FallbackEndpointAcceptsItsPinnedSelfSignedCertificate) {
  ASSERT_EQ(Fetch(kFallback + "_size-1000/" + Marker(), 1000), "");
  EXPECT_EQ(Body(), Pattern(1000));
  // "/patch/" itself is the shortest fallback path: pinned, then refused by status.
  EXPECT_EQ(Fetch(kFallback, 100), "Yama sunucusu istegi reddetti (HTTP 404).");
}

TEST_F(Https, WrongCertificateOnTheFallbackEndpointIsRefusedBeforeTheStatus) {
  ASSERT_EQ(Fetch(kFallback + "_next-wrongcert/" + Marker(), 100), "");
  const std::string marker = Marker();
  EXPECT_EQ(Fetch(kFallback + "_status-404/" + marker, 100), kPinMismatch);
  EXPECT_FALSE(std::filesystem::exists(file_));
  // The server did answer (with 404): the pin, not the status, refused it.
  EXPECT_EQ(CountOf(RequestLog(), marker + " HTTP/1.1"), 1u);

  ASSERT_EQ(Fetch(kFallback + "_next-wrongcert/" + Marker(), 100), "");
  EXPECT_EQ(Fetch(kFallback + "_size-10/" + Marker(), 100), kPinMismatch);
  EXPECT_FALSE(std::filesystem::exists(file_));
  // The switch lasts one connection; the pinned certificate is back.
  EXPECT_EQ(Fetch(kFallback + "_size-10/" + Marker(), 100), "");
}

TEST_F(Https, NearMissesOfTheFallbackEndpointGetNormalValidation) {
  // Same server and self-signed certificate, but not the fallback endpoint by
  // its rules, so the unknown CA is not forgiven.
  for (const std::string& url :
       {std::string("https://127.0.0.1:5443/patch"), std::string("https://127.0.0.1:5443/"),
        std::string("https://127.0.0.1:5443"), std::string("https://127.0.0.1:5443/PATCH/_size-10/x"),
        std::string("https://localhost:5443/patch/_size-10/x")}) {
    EXPECT_EQ(Fetch(url, 100), kCertificateFailed) << url;
  }
}

TEST_F(Https, ServerOfferingOnlyTls13IsRefused) {
  ASSERT_EQ(Fetch(kFallback + "_next-tls13/" + Marker(), 100), "");
  EXPECT_EQ(Fetch(kFallback + "_size-10/" + Marker(), 100), kCertificateFailed);
  EXPECT_EQ(Fetch(kFallback + "_size-10/" + Marker(), 100), "");
}

// --- POST -------------------------------------------------------------------------------------

TEST_F(Https, PostBodyArrivesAsTextPlain) {
  const std::string body = "ORVEX/Startup.manifest\nData/\xC3\xBC.pak 1234\n";
  ASSERT_EQ(Fetch(kFallback + "_echo/repair-batch-v4.php", 4096, body), "");
  const std::string echo = Body();
  EXPECT_EQ(echo.rfind("POST /patch/_echo/repair-batch-v4.php HTTP/1.1\r\n", 0), 0u) << echo;
  EXPECT_NE(echo.find("\r\nContent-Type: text/plain\r\n"), std::string::npos) << echo;
  EXPECT_EQ(CountOf(echo, "Content-Type:"), 1u) << echo;
  EXPECT_NE(echo.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos) << echo;
  EXPECT_NE(echo.find("\r\nUser-Agent: ORVEX-Updater/1\r\n"), std::string::npos) << echo;
  ASSERT_GE(echo.size(), body.size());
  EXPECT_EQ(echo.substr(echo.size() - body.size()), body);
}

TEST_F(Https, EmptyBodyMeansGet) {
  ASSERT_EQ(Fetch(kCdn + "_echo/x", 4096, ""), "");
  const std::string echo = Body();
  EXPECT_EQ(echo.rfind("GET /orvex-patch/_echo/x HTTP/1.1\r\n", 0), 0u) << echo;
  EXPECT_EQ(echo.find("Content-Type:"), std::string::npos) << echo;
}

// --- Progress that throws, a stalled server ----------------------------------------------

struct Cancelled : std::exception {};

TEST_F(Https, ThrowingProgressStopsTheTransferAndItsExceptionReachesTheCaller) {
  const std::string marker = Marker();
  int calls = 0;
  const auto cancelAfterFirstChunk = [&calls](std::uint64_t done, std::uint64_t) {
    ++calls;
    if (done > 0) throw Cancelled();
  };
  EXPECT_THROW(HttpsDownload(kCdn + "_size-1000000/" + marker, file_, 1000000, "", cancelAfterFirstChunk), Cancelled);
  EXPECT_EQ(calls, 2);
  // The chunk that the progress call reported is on disk, and nothing after it.
  const std::string kept = Body();
  EXPECT_GT(kept.size(), 0u);
  EXPECT_LE(kept.size(), 65536u);
  EXPECT_EQ(kept, Pattern(kept.size()));
  EXPECT_TRUE(FileIsClosed(file_));

  // Throwing from the very first call (0, limit) stops before any request.
  EXPECT_THROW(HttpsDownload(kCdn + "_size-10/" + marker + "-first", file_, 10, "",
                             [](std::uint64_t, std::uint64_t) { throw Cancelled(); }),
               Cancelled);
  EXPECT_EQ(RequestLog().find(marker + "-first"), std::string::npos);
}

// The one slow case: a server that stops sending mid-body must end in the 30 s
// receive timeout, not hang until the 15-minute deadline.
TEST_F(Https, StalledBodyEndsInTheReceiveTimeout) {
  const auto started = Clock::now();
  EXPECT_EQ(Fetch(kCdn + "_size-1000000/_stall-70000/" + Marker(), 1000000), kInterrupted);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started).count();
  EXPECT_GE(seconds, 25);
  EXPECT_LE(seconds, 50);
  EXPECT_EQ(Body(), Pattern(Body().size()));
  EXPECT_TRUE(FileIsClosed(file_));
}

}  // namespace
