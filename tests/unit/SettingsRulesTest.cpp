#include "Launcher/SettingsRules.h"

#include <gtest/gtest.h>

using namespace settings;

TEST(WebsiteLink, EmptyValueGivesTheBuiltInPlainHttpSite) {
  EXPECT_EQ(ResolveWebsiteLink("", "http://10.1.2.3/"), "http://10.1.2.3/");
}

TEST(WebsiteLink, OnlyExactHttpsPrefixIsAccepted) {
  EXPECT_EQ(ResolveWebsiteLink("https://orvex.example/", "http://b/"), "https://orvex.example/");
  EXPECT_EQ(ResolveWebsiteLink("http://orvex.example/", "http://b/"), "");
  EXPECT_EQ(ResolveWebsiteLink("HTTPS://orvex.example/", "http://b/"), "");
  EXPECT_EQ(ResolveWebsiteLink("https:/", "http://b/"), "");
  EXPECT_EQ(ResolveWebsiteLink(" https://orvex.example/", "http://b/"), "");
  EXPECT_EQ(ResolveWebsiteLink("https://", "http://b/"), "https://");
}

TEST(PatchBaseUrl, RetiredAddressBehavesLikeMissing) {
  const char* retired = "https://127.0.0.1:5443/patch/";
  const char* builtIn = "https://cdn.example/orvex-patch/";
  EXPECT_EQ(ResolvePatchBaseUrl("", retired, builtIn), builtIn);
  EXPECT_EQ(ResolvePatchBaseUrl(retired, retired, builtIn), builtIn);
  // Only the exact retired text is replaced; anything else is used unchanged.
  EXPECT_EQ(ResolvePatchBaseUrl("https://127.0.0.1:5443/patch", retired, builtIn), "https://127.0.0.1:5443/patch");
  EXPECT_EQ(ResolvePatchBaseUrl("ftp://x/", retired, builtIn), "ftp://x/");
}

TEST(LoginHost, FallsBackToTheBuiltInAddress) {
  EXPECT_EQ(ResolveLoginHost("", "127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(ResolveLoginHost("login.orvex.example", "127.0.0.1"), "login.orvex.example");
}
