#include "ui/Paint.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "LauncherVersion.h"

#include "common/WinHandles.h"
#include "ui/Resources.h"
#include "ui/Picture.h"

using namespace ui;

namespace {

// An 800x600 top-down 32-bit DIB selected into a memory DC, pixels readable.
class Canvas {
 public:
  explicit Canvas(COLORREF background) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = kCanvasWidth;
    info.bmiHeader.biHeight = -kCanvasHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    dc_.Reset(::CreateCompatibleDC(nullptr));
    bitmap_.Reset(::CreateDIBSection(dc_.Get(), &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0));
    old_ = ::SelectObject(dc_.Get(), bitmap_.Get());
    win::UniqueBrush brush(::CreateSolidBrush(background));
    RECT all{0, 0, kCanvasWidth, kCanvasHeight};
    ::FillRect(dc_.Get(), &all, brush.Get());
  }
  ~Canvas() { ::SelectObject(dc_.Get(), old_); }
  HDC Dc() const { return dc_.Get(); }
  Rgb At(int x, int y) const {
    ::GdiFlush();
    const std::uint32_t pixel = bits_[y * kCanvasWidth + x];
    return Rgb{static_cast<std::uint8_t>(pixel >> 16), static_cast<std::uint8_t>(pixel >> 8),
               static_cast<std::uint8_t>(pixel)};
  }

 private:
  win::UniqueMemoryDc dc_;
  win::UniqueBitmap bitmap_;
  HGDIOBJ old_ = nullptr;
  std::uint32_t* bits_ = nullptr;
};

bool Same(Rgb a, Rgb b) { return a.r == b.r && a.g == b.g && a.b == b.b; }
bool Near(Rgb a, Rgb b, int tolerance = 2) {
  return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

::testing::AssertionResult HasColour(const Canvas& canvas, int x, int y, Rgb expected) {
  const Rgb actual = canvas.At(x, y);
  if (Same(actual, expected)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "pixel (" << x << "," << y << ") is " << int(actual.r) << ","
                                       << int(actual.g) << "," << int(actual.b) << " not " << int(expected.r)
                                       << "," << int(expected.g) << "," << int(expected.b);
}

class FramePainting : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ui::CreateFonts(); }
  static void TearDownTestSuite() { ui::ReleaseArtworkAndFonts(); }

  Canvas canvas_{RGB(200, 200, 200)};
  FrameInputs in_;
  std::size_t offset_ = 0;
  std::vector<launcher_board::Announcement> list_;

  void Paint() {
    in_.announcements = list_;
    PaintFrame(canvas_.Dc(), in_, offset_);
  }
};

}  // namespace

TEST_F(FramePainting, PanelFrameTilesAndTrack) {
  Paint();
  EXPECT_TRUE(HasColour(canvas_, 350, 60, colours::kPanelFrame));
  EXPECT_TRUE(HasColour(canvas_, 750, 414, colours::kPanelFrame));
  EXPECT_TRUE(HasColour(canvas_, 745, 300, colours::kPanelBackground));
  EXPECT_TRUE(HasColour(canvas_, 355, 315, colours::kTileBar));
  EXPECT_TRUE(HasColour(canvas_, 363, 318, colours::kTileBorder));
  EXPECT_TRUE(HasColour(canvas_, 364, 319, colours::kTileFace));
  EXPECT_TRUE(HasColour(canvas_, 751, 200, Rgb{200, 200, 200}));  // outside the panel: artwork untouched
  EXPECT_TRUE(HasColour(canvas_, 733, 14, colours::kMinimiseFace));
  EXPECT_TRUE(HasColour(canvas_, 353, 456, colours::kTrackOuter));
  EXPECT_TRUE(HasColour(canvas_, 355, 458, colours::kTrackInner));
  // No session: 0% and no fill.
  EXPECT_TRUE(HasColour(canvas_, 360, 468, colours::kTrackInner));
}

TEST_F(FramePainting, FullProgressFillIs390PixelsWide) {
  in_.sessionExists = true;
  in_.progressVisible = true;
  in_.progress = 150;  // clamped to 100
  Paint();
  const Rgb inside = canvas_.At(746, 468);
  EXPECT_FALSE(Same(inside, colours::kTrackInner));
  EXPECT_GT(inside.r, 150);
  EXPECT_TRUE(HasColour(canvas_, 747, 468, colours::kTrackInner));
  // Vertical gradient: the top of the fill is lighter than its bottom.
  EXPECT_GT(canvas_.At(500, 462).g, canvas_.At(500, 473).g);
}

TEST_F(FramePainting, NegativeProgressDrawsNoFill) {
  in_.sessionExists = true;
  in_.connected = true;
  in_.progressVisible = true;
  in_.progress = -5;
  Paint();
  EXPECT_TRUE(HasColour(canvas_, 360, 468, colours::kTrackInner));
}

TEST_F(FramePainting, ConnectedWithoutProgressShowsFullBar) {
  in_.sessionExists = true;
  in_.connected = true;
  Paint();
  EXPECT_FALSE(Same(canvas_.At(746, 468), colours::kTrackInner));
}

TEST_F(FramePainting, StartIsVeiledUnlessReadyAndIdle) {
  const Rgb artwork{200, 200, 200};
  const Rgb veiled{static_cast<std::uint8_t>((17 * 128 + 200 * 127) / 255),
                   static_cast<std::uint8_t>((18 * 128 + 200 * 127) / 255),
                   static_cast<std::uint8_t>((21 * 128 + 200 * 127) / 255)};
  in_.sessionExists = true;
  in_.ready = false;
  Paint();
  EXPECT_TRUE(Near(canvas_.At(362, 500), veiled));
  EXPECT_TRUE(Near(canvas_.At(477, 522), veiled));
  EXPECT_TRUE(HasColour(canvas_, 361, 500, artwork));  // inset 8 pixels left
  EXPECT_TRUE(HasColour(canvas_, 478, 510, artwork));
  EXPECT_TRUE(HasColour(canvas_, 400, 499, artwork));  // inset 6 pixels top
  EXPECT_TRUE(HasColour(canvas_, 400, 523, artwork));

  Canvas ready(RGB(200, 200, 200));
  in_.ready = true;
  PaintFrame(ready.Dc(), in_, offset_);
  EXPECT_TRUE(HasColour(ready, 362, 500, artwork));

  Canvas guardRunning(RGB(200, 200, 200));
  in_.launchIdle = false;
  PaintFrame(guardRunning.Dc(), in_, offset_);
  EXPECT_TRUE(Near(guardRunning.At(362, 500), veiled));
}

TEST_F(FramePainting, HoveredTileAndOpenCalendarAreHighlighted) {
  in_.hovered = ElementId::Market;
  Paint();
  EXPECT_TRUE(HasColour(canvas_, 592, 319, colours::kTileFaceHighlighted));
  EXPECT_TRUE(HasColour(canvas_, 364, 319, colours::kTileFace));

  Canvas calendar(RGB(200, 200, 200));
  in_.hovered = ElementId::None;
  in_.calendarOpen = true;
  in_.banner = reinterpret_cast<HBITMAP>(1);  // must not be touched while the calendar is open
  PaintFrame(calendar.Dc(), in_, offset_);
  EXPECT_TRUE(HasColour(calendar, 364, 319, colours::kTileFaceHighlighted));
  EXPECT_TRUE(HasColour(calendar, 592, 319, colours::kTileFace));
  EXPECT_TRUE(HasColour(calendar, 352, 360, colours::kPanelBackground));
}

TEST_F(FramePainting, BannerPictureIsCopiedIntoThePanel) {
  const win::UniqueBitmap banner = ui::LoadPicture(::GetModuleHandleW(nullptr), 1702, 399, 252);
  ASSERT_TRUE(banner);
  in_.banner = banner.Get();
  Paint();
  // The banner artwork is not a flat panel colour at its corner.
  EXPECT_FALSE(Same(canvas_.At(352, 62), colours::kPanelBackground));
}

TEST_F(FramePainting, BoardOffsetIsClampedAndRowsSeparated) {
  for (std::uint32_t i = 1; i <= 5; ++i) list_.push_back({i, L"01.02.2026", L"Duyuru " + std::to_wstring(i)});
  offset_ = 9;
  in_.hovered = ElementId::BoardRow2;
  Paint();
  EXPECT_EQ(offset_, 3u);
  EXPECT_TRUE(HasColour(canvas_, 351, 382, colours::kRowSeparator));
  EXPECT_TRUE(HasColour(canvas_, 351, 408, colours::kRowSeparator));
  EXPECT_TRUE(HasColour(canvas_, 352, 390, colours::kHoveredRow));

  Canvas single(RGB(200, 200, 200));
  in_.announcements.resize(1);
  PaintFrame(single.Dc(), in_, offset_);
  EXPECT_EQ(offset_, 0u);
  EXPECT_TRUE(HasColour(single, 351, 382, colours::kRowSeparator));
  EXPECT_TRUE(HasColour(single, 351, 408, colours::kPanelBackground));  // slot 1 not drawn
}

TEST(Picture, ArtworkLoadsOnlyAtItsExactSize) {
  const HINSTANCE self = ::GetModuleHandleW(nullptr);
  const win::UniqueBitmap main = ui::LoadPicture(self, 1701, 800, 600);
  EXPECT_TRUE(main);
  BITMAP info{};
  ASSERT_TRUE(::GetObjectW(main.Get(), sizeof info, &info));
  EXPECT_EQ(info.bmWidth, 800);
  EXPECT_EQ(info.bmHeight, 600);
  const win::UniqueBitmap wrongSize = ui::LoadPicture(self, 1701, 799, 600);
  EXPECT_FALSE(wrongSize);
  const win::UniqueBitmap missing = ui::LoadPicture(self, 4711, 800, 600);
  EXPECT_FALSE(missing);
  const win::UniqueBitmap notAPicture = ui::LoadPicture(self, 1703, 800, 600);  // the WAVE is no RCDATA
  EXPECT_FALSE(notAPicture);
}

// The test binary carries the launcher's resource script, so its own version
// block is the one Launcher.exe gets.
TEST(Resources, VersionBlockNamesTheProductAndTheBuildsVersion) {
  wchar_t self[MAX_PATH] = {};
  ASSERT_GT(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(self, &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> block(size);
  ASSERT_TRUE(::GetFileVersionInfoW(self, 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  const WORD expected[4] = {ORVEX_VERSION_NUMBERS};
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(expected[1], expected[0]));
  EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(expected[3], expected[2]));
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  auto text = [&](const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT chars = 0;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!::VerQueryValueW(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &chars) || !value) {
      return std::wstring();
    }
    return std::wstring(value);
  };
  EXPECT_EQ(text(L"ProductName"), L"ORVEX Launcher");
  EXPECT_EQ(text(L"FileVersion"), L"" ORVEX_VERSION_TEXT);
  EXPECT_EQ(text(L"ProductVersion"), L"" ORVEX_VERSION_TEXT);
  EXPECT_EQ(text(L"OriginalFilename"), L"Launcher.exe");
  EXPECT_FALSE(text(L"CompanyName").empty());
  EXPECT_FALSE(text(L"FileDescription").empty());
}
