#include "Launcher/SessionRules.h"

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

TEST(SessionTexts, HaveTheirFixedLengths) {
  EXPECT_EQ(session::InitialText().size(), 46u);
  EXPECT_EQ(session::ConnectionFailedText().size(), 43u);
  EXPECT_EQ(session::ClientNewerText().size(), 16u);
  EXPECT_EQ(session::ReadyText().size(), 19u);
}
