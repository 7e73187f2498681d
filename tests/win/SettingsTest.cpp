#include "Launcher/Settings.h"

#include <gtest/gtest.h>

#include "Deployment.h"
#include "WinTestUtil.h"

class SettingsFile : public ::testing::Test {
 protected:
  testutil::IniFolder folder_{"settings"};
  void Write(const std::string& text) { folder_.WriteIni(text); }
};

TEST_F(SettingsFile, WebsiteLinkRules) {
  Write("[ORVEX_LINKS]\nWebsite=\n");
  settings::ReadWebsiteLink();
  EXPECT_EQ(settings::WebsiteLink(), orvex_deploy::kSiteUrl);

  Write("[ORVEX_LINKS]\nWebsite=http://orvex.example/\n");
  settings::ReadWebsiteLink();
  EXPECT_EQ(settings::WebsiteLink(), "");

  Write("[orvex_links]\nwebsite=https://orvex.example/tr/\n");
  settings::ReadWebsiteLink();
  EXPECT_EQ(settings::WebsiteLink(), "https://orvex.example/tr/");
}

TEST_F(SettingsFile, MissingFileGivesBuiltInSite) {
  settings::ReadWebsiteLink();
  EXPECT_EQ(settings::WebsiteLink(), orvex_deploy::kSiteUrl);
}

TEST_F(SettingsFile, AnnouncementsOriginFallsBackToTheWebsiteLink) {
  Write("[ORVEX_LINKS]\nWebsite=http://plain.example/\n");
  settings::ReadWebsiteLink();
  EXPECT_EQ(settings::ReadAnnouncementsOrigin(), L"");  // the emptied website link

  Write("[ORVEX_LINKS]\nWebsite=https://orvex.example/\n");
  settings::ReadWebsiteLink();
  EXPECT_EQ(settings::ReadAnnouncementsOrigin(), L"https://orvex.example/");

  Write("[ORVEX_LINKS]\nWebsite=https://orvex.example/\nAnnouncementsOrigin=http://news.example:8080/x\n");
  EXPECT_EQ(settings::ReadAnnouncementsOrigin(), L"http://news.example:8080/x");
}

TEST_F(SettingsFile, ClientVersionDefaultsDependOnTheReader) {
  Write("[Version]\n");
  EXPECT_EQ(settings::ReadClientVersion(folder_.Narrow(), 0), 0u);  // start-up check
  EXPECT_EQ(settings::ReadClientVersion(folder_.Narrow(), 1), 1u);  // update thread
  Write("[Version]\nFiles=2372\n");
  EXPECT_EQ(settings::ReadClientVersion(folder_.Narrow(), 1), 2372u);
  Write("[Version]\nFiles=2384abc\n");
  EXPECT_EQ(settings::ReadClientVersion(folder_.Narrow(), 1), 2384u);
}

TEST_F(SettingsFile, RetiredBaseUrlBehavesLikeMissing) {
  Write("");
  EXPECT_EQ(settings::ReadPatchBaseUrl(folder_.Narrow()), orvex_deploy::kPatchBaseUrl);
  Write(std::string("[ORVEX_UPDATE]\nBaseURL=") + orvex_deploy::kRetiredPatchUrl + "\n");
  EXPECT_EQ(settings::ReadPatchBaseUrl(folder_.Narrow()), orvex_deploy::kPatchBaseUrl);
  Write("[ORVEX_UPDATE]\nBaseURL=https://mirror.example/orvex-patch/\n");
  EXPECT_EQ(settings::ReadPatchBaseUrl(folder_.Narrow()), "https://mirror.example/orvex-patch/");
}

TEST_F(SettingsFile, LoginHostFromServerSection) {
  Write("[Server]\nCount=1\n");
  EXPECT_EQ(settings::ReadLoginHost(folder_.Narrow()), orvex_deploy::kLoginHost);
  Write("[Server]\nCount=1\nIP0=10.20.30.40\n");
  EXPECT_EQ(settings::ReadLoginHost(folder_.Narrow()), "10.20.30.40");
}
