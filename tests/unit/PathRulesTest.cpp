#include "update/disk/PathRules.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using orvex_update::IsManagedPath;
using orvex_update::IsSafeRelativePath;
using orvex_update::ParseDecimal;

TEST(SafeRelativePath, RootedEmptyAndNullAreRefused) {
  EXPECT_FALSE(IsSafeRelativePath(static_cast<const char*>(nullptr)));
  EXPECT_FALSE(IsSafeRelativePath(""));
  for (const char* path : {"/a", "\\a", "\\\\srv\\s\\x", "\\\\?\\C:\\x", "//srv/s/x", "C:x", "C:\\x", "c:/x"}) {
    EXPECT_FALSE(IsSafeRelativePath(path)) << path;
  }
}

TEST(SafeRelativePath, ForbiddenBytesAnywhere) {
  for (const char bad : std::string(":*?\"<>|")) {
    EXPECT_FALSE(IsSafeRelativePath(std::string("data/a") + bad + "b")) << bad;
  }
  for (int byte = 1; byte < 0x20; ++byte) {
    EXPECT_FALSE(IsSafeRelativePath(std::string("data/a") + static_cast<char>(byte) + "b")) << byte;
  }
  // An embedded NUL must not cut the text short.
  EXPECT_FALSE(IsSafeRelativePath(std::string("data/a\0b", 8)));
  EXPECT_FALSE(IsSafeRelativePath("x::$DATA"));
  EXPECT_FALSE(IsSafeRelativePath("game.exe:payload"));
}

TEST(SafeRelativePath, ComponentRules) {
  for (const char* path : {"a//b", "a\\\\b", "a/./b", "a/../b", "..\\x", "a\\..\\..\\x", "..", ".", "a/b.", "a /b",
                           "config.ini.", "COM1 ", "a/b//", "a/ "}) {
    EXPECT_FALSE(IsSafeRelativePath(path)) << path;
  }
  for (const char* path : {"a", "a/b", "a\\b", ".hidden/x", "a.b.c", "a/b/", "a\\", "x y/z", "~a/b"}) {
    EXPECT_TRUE(IsSafeRelativePath(path)) << path;
  }
}

TEST(SafeRelativePath, DeviceNames) {
  for (const char* path :
       {"con.txt", "Aux", "lpt1.log", "nul.dat", "NUL.txt", "a/AUX/b", "PRN", "com9", "COM1.tar.gz", "data/nul"}) {
    EXPECT_FALSE(IsSafeRelativePath(path)) << path;
  }
  for (const char* path :
       {"COM0.txt", "CONX", "console", "LPT0", "COM10", "xCON", "con_", "aux-data/x", "nulx.txt", "COM", "LPTA"}) {
    EXPECT_TRUE(IsSafeRelativePath(path)) << path;
  }
}

// Win32 drops spaces at the end of the stem before looking for a device, so
// these open NUL, COM1 and AUX rather than files.
TEST(SafeRelativePath, DeviceNameWithSpacesBeforeTheExtensionIsRefused) {
  for (const char* path : {"NUL .txt", "data/COM1 .log", "aux  .tbl", "con .a.b"}) {
    EXPECT_FALSE(IsSafeRelativePath(path)) << path;
  }
  EXPECT_TRUE(IsSafeRelativePath(" nul.txt"));  // leading spaces are kept by Win32
}

TEST(ManagedPath, Length) {
  const std::string component(50, 'a');
  std::string path = component + "/" + component + "/" + component + "/" + component + "/";  // 204 bytes
  path += std::string(220 - path.size(), 'b');
  ASSERT_EQ(path.size(), 220u);
  EXPECT_TRUE(IsManagedPath(path));
  EXPECT_FALSE(IsManagedPath(path + "c"));
  EXPECT_FALSE(IsManagedPath(""));
  EXPECT_FALSE(IsManagedPath(static_cast<const char*>(nullptr)));
}

TEST(ManagedPath, ProtectedFilesOnlyAtTheRoot) {
  for (const char* path : {"server.ini", "Server.INI", "option.ini", "OPTION.INI", "scheduler.ini",
                           "orvex_diagnostic.ini", "Orvex_Diagnostic.Ini"}) {
    EXPECT_FALSE(IsManagedPath(path)) << path;
  }
  for (const char* path : {"data/server.ini", "ORVEX/Option.ini", "server.ini.bak", "xserver.ini"}) {
    EXPECT_TRUE(IsManagedPath(path)) << path;
  }
}

// Other spellings that the file system resolves to a protected file.
TEST(ManagedPath, ProtectedFilesUnderAnotherSpellingAreRefused) {
  for (const char* path : {"server.ini.", "server.ini ", "Server.ini..", "server.ini::$DATA", "server.ini/",
                           "./server.ini", "data/../server.ini"}) {
    EXPECT_FALSE(IsManagedPath(path)) << path;
  }
}

// 8.3 aliases at the root: Windows' generated "NAME~1.EXT" and Wine's hashed
// "NAME~XY" both reach the long name.
TEST(ManagedPath, ShortAliasAtTheRootIsRefused) {
  for (const char* path :
       {"SERVER~1.INI", "SCHEDU~1.INI", "schedu~2.ini", "ORVEX_~1.INI", "OPTION~1.INI", "ORVEX-~1/current/journal",
        "ORVEX-~1", "ORVE~ABC/current/files/x", "SC4F2D~1.INI", "~1", "A~B.C"}) {
    EXPECT_FALSE(IsManagedPath(path)) << path;
  }
  // Deeper down, or not 8.3-shaped, a tilde is an ordinary character.
  for (const char* path : {"data/SCHEDU~1.INI", "ORVEX/SERVER~1.INI", "longer~name.dat", "a~b.long", "a.b~.c.d"}) {
    EXPECT_TRUE(IsManagedPath(path)) << path;
  }
}

TEST(ManagedPath, UpdateAreaIsRefused) {
  for (const char* path :
       {".orvex-update/current/journal", ".orvex-updateX", ".ORVEX-UPDATE", ".Orvex-Update/x", ".orvex-update"}) {
    EXPECT_FALSE(IsManagedPath(path)) << path;
  }
  EXPECT_TRUE(IsManagedPath(".orvex-updat"));
  EXPECT_TRUE(IsManagedPath("data/.orvex-update"));
}

TEST(ManagedPath, RefusedShapes) {
  for (const char* path :
       {"a//b",     "a/./b",           "a/../b",       "a/b.",    "a /b",     "/a",    "a\\b",
        "a/b/",     "nul.dat",         "con.txt",      "Aux",     "lpt1.log", "..\\x", "a\\..\\..\\x",
        "C:x",      "\\\\srv\\s\\x",   "\\\\?\\C:\\x", "NUL.txt", "a/AUX/b",  "COM1 ", "config.ini.",
        "x::$DATA", "game.exe:payload"}) {
    EXPECT_FALSE(IsManagedPath(path)) << path;
  }
  for (const char* path : {"COM0.txt", "CONX", "console", "LPT0", "Data/Item.tbl", "a b/c d.txt", "x", "data/~"}) {
    EXPECT_TRUE(IsManagedPath(path)) << path;
  }
}

TEST(ManagedPath, OnlyPrintableAscii) {
  for (int byte : {0x01, 0x09, 0x1F, 0x7F, 0x80, 0xC3, 0xFF}) {
    const char c = static_cast<char>(byte);
    EXPECT_FALSE(IsManagedPath(std::string(1, c) + "data/x")) << byte;
    EXPECT_FALSE(IsManagedPath(std::string("data/") + c + "x")) << byte;
    EXPECT_FALSE(IsManagedPath(std::string("data/x") + c)) << byte;
  }
  EXPECT_TRUE(IsManagedPath("a!#$%&'()+,-.;=@[]^_`{}~b"));
}

TEST(ParseDecimal, Accepted) {
  EXPECT_EQ(ParseDecimal("007", 32767), 7u);
  EXPECT_EQ(ParseDecimal("0", 0), 0u);
  EXPECT_EQ(ParseDecimal("32767", 32767), 32767u);
  EXPECT_EQ(ParseDecimal("00000000000000000000000000017179869184", 17179869184ULL), 17179869184ULL);
  EXPECT_EQ(ParseDecimal("18446744073709551615", UINT64_MAX), UINT64_MAX);
}

TEST(ParseDecimal, Refused) {
  for (const std::string& text : std::vector<std::string>{
           "", "+1", "-1", " 1", "1 ", "0x10", "1.0", "1e3", "32768", "4294967296", "18446744073709551616",
           "99999999999999999999999999", std::string("1\0", 2), std::string("\xD9\xA1")}) {
    try {
      ParseDecimal(text, 32767);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "Invalid manifest number.");
    }
  }
  // Overflow past 64 bits must not wrap around into range.
  EXPECT_THROW(ParseDecimal("18446744073709551616", UINT64_MAX), std::runtime_error);
  EXPECT_THROW(ParseDecimal("36893488147419103232", UINT64_MAX), std::runtime_error);  // 2^65 wraps to 0
}

TEST(ClientNameMapping, PercentEncodedNameIsDecoded) {
  const std::u16string expected = u"ChrSelect/upc_ka_wt_ma_Y\u00F6netim.v7anim";
  ASSERT_EQ(expected.size(), 37u);
  for (const char* path : {"chrselect/upc_ka_wt_ma_y%c3%b6netim.v7anim", "ChrSelect/upc_ka_wt_ma_Y%C3%B6netim.v7anim",
                           "CHRSELECT/UPC_KA_WT_MA_Y%C3%B6NETIM.V7ANIM"}) {
    const char16_t* decoded = orvex_update::DecodedClientName(path);
    ASSERT_NE(decoded, nullptr) << path;
    EXPECT_EQ(std::u16string(decoded), expected);
  }
  for (const char* path : {"chrselect/upc_ka_wt_ma_y%c3%b6netim.v7ani", "upc_ka_wt_ma_y%c3%b6netim.v7anim",
                           "chrselect/upc_ka_wt_ma_yönetim.v7anim", "data/x"}) {
    EXPECT_EQ(orvex_update::DecodedClientName(path), nullptr) << path;
  }
}

TEST(AsciiLower, LowersOnlyAsciiLetters) { EXPECT_EQ(orvex_update::AsciiLower("AbZ@[\xC3\x96]"), "abz@[\xC3\x96]"); }
