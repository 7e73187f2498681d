#include "session/SessionRules.h"

#include <gtest/gtest.h>

using session::PatchNumberFromFileName;

TEST(PatchFileName, AcceptedForms) {
  EXPECT_EQ(PatchNumberFromFileName("patch2384.zip"), 2384);
  EXPECT_EQ(PatchNumberFromFileName("2384.zip"), 2384);
  EXPECT_EQ(PatchNumberFromFileName("1.zip"), 1);
  EXPECT_EQ(PatchNumberFromFileName("patch32767.zip"), 32767);
  EXPECT_EQ(PatchNumberFromFileName("00042.zip"), 42);
}

TEST(PatchFileName, RejectedForms) {
  for (const char* name : {"Patch2384.zip", "patch2384.ZIP", "2384.Zip", "patch.zip", "32768.zip", "patch99999.zip",
                           "0.zip", "patch0.zip", "123456.zip", "patch123456.zip", "12a4.zip", "2384.zi",
                           "patch2384", "", ".zip", "patch-12.zip", " 123.zip", "+123.zip"}) {
    EXPECT_EQ(PatchNumberFromFileName(name), 0) << name;
  }
}

TEST(StatusLine, FailureStaysThroughRoutineTextsUntilThePlayerActsOrANewerReport) {
  session::StatusLine line("Ready to play.");
  EXPECT_TRUE(line.SetUnlessHeld("Ready to play."));
  line.SetFailure("Game closed before startup completed.");
  EXPECT_FALSE(line.SetUnlessHeld("Ready to play."));
  EXPECT_FALSE(line.SetUnlessHeld("Ready to play."));
  EXPECT_EQ(line.Text(), "Game closed before startup completed.");
  EXPECT_TRUE(line.Held());

  // A newer operation's report replaces it and ends the hold.
  line.Set("Repair downloaded. Close open games to finish repairing.");
  EXPECT_FALSE(line.Held());
  EXPECT_TRUE(line.SetUnlessHeld("Ready to play."));
  EXPECT_EQ(line.Text(), "Ready to play.");

  // The player acted: the text stays shown, but the next routine text replaces it.
  line.SetFailure("Bu bilgisayarda en fazla 3 oyun istemcisi acabilirsiniz.");
  line.Release();
  EXPECT_EQ(line.Text(), "Bu bilgisayarda en fazla 3 oyun istemcisi acabilirsiniz.");
  EXPECT_TRUE(line.SetUnlessHeld("Ready to play."));

  // A newer failure replaces an older one.
  line.SetFailure("Background repair failed.");
  line.SetFailure("Not enough disk space.");
  EXPECT_EQ(line.Text(), "Not enough disk space.");
  EXPECT_TRUE(line.Held());
}

TEST(SessionTexts, HaveTheirFixedLengths) {
  EXPECT_EQ(session::InitialText().size(), 46u);
  EXPECT_EQ(session::ConnectionFailedText().size(), 43u);
  EXPECT_EQ(session::ClientNewerText().size(), 16u);
  EXPECT_EQ(session::ReadyText().size(), 19u);
}

// Decided by the kind and the system code alone: the same text under another
// kind is not retried, and a reworded network failure still is.
TEST(Retry, OnlyNetworkFailuresOfADownloadAreRetried) {
  using fail::Kind;
  struct Case {
    Kind kind;
    const char* text;
    unsigned long code;
    bool transient;
  };
  const Case cases[] = {
      {Kind::kNetwork, "Update connection interrupted.", 0, true},
      {Kind::kNetwork, "Update download timed out.", 0, true},
      {Kind::kNetwork, "HTTPS request or certificate validation failed.", 12029, true},   // refused
      {Kind::kNetwork, "HTTPS request or certificate validation failed.", 12030, true},   // reset
      {Kind::kNetwork, "HTTPS request or certificate validation failed.", 12002, true},   // timed out
      {Kind::kNetwork, "HTTPS request or certificate validation failed.", 12175, false},  // certificate refused
      {Kind::kNetwork, "HTTPS request or certificate validation failed.", 12045, false},
      {Kind::kNetwork, "Yama sunucusu istegi reddetti (HTTP 503).", 0, true},
      {Kind::kNetwork, "The download stopped halfway.", 0, true},  // reworded
      {Kind::kRefused, "Yama sunucusu istegi reddetti (HTTP 404).", 0, false},
      {Kind::kRefused, "Yama sunucusu istegi reddetti (HTTP 503).", 0, false},
      {Kind::kRefused, "Update server response could not be read.", 0, false},
      {Kind::kIntegrity, "Downloaded archive hash or size is invalid.", 0, false},
      {Kind::kIntegrity, "Update connection interrupted.", 0, false},
      {Kind::kUsage, "HTTPS update address is not configured.", 0, false},
      {Kind::kInternal, "SHA-256 unavailable.", 0, false},
      {Kind::kCancelled, "The launcher is closing.", 0, false},
      {Kind::kLocked, "Cannot replace client file; close the game and retry.", 32, false},
      {Kind::kRecovery, "Update connection interrupted. Recovery: Cannot restore backup file.", 0, false},
      // A full disk (ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL), whatever the kind says.
      {Kind::kDisk, "Cannot write download; check disk space.", 112, false},
      {Kind::kNetwork, "Update connection interrupted.", 112, false},
      {Kind::kNetwork, "Update download timed out.", 39, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(session::IsTransientDownloadFailure({c.kind, c.text, c.code}), c.transient) << c.text << " " << c.code;
  }
}

TEST(Retry, WaitsAndTheirOverride) {
  const std::vector<unsigned> defaults{5, 15, 45, 120, 300};
  EXPECT_EQ(session::DefaultRetryWaits(), defaults);
  EXPECT_EQ(session::RetryWaitsFrom("2,4,8"), (std::vector<unsigned>{2, 4, 8}));
  EXPECT_EQ(session::RetryWaitsFrom("3600"), (std::vector<unsigned>{3600}));
  for (const char* bad : {"", "0", "3601", "1,,2", "1,2,", ",1", "1,2,3,4,5,6", "a", "-1", "1 2", "99999", "00001"}) {
    EXPECT_EQ(session::RetryWaitsFrom(bad), defaults) << bad;
  }
}
