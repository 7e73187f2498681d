// Process-wide objects of the normal launcher run mode: the main window, the
// session, the artwork, the fonts and the cursors. Written by start-up before
// the update thread starts; read afterwards.
#pragma once

#include "common/WinHandles.h"

class Launcher;

namespace app {

enum class FontRole { Regular13, Regular14, Bold14, Small11, Symbol15 };
inline constexpr int kFontCount = 5;

struct Resources {
  HINSTANCE instance = nullptr;
  HWND mainWindow = nullptr;
  Launcher* session = nullptr;
  win::UniqueBitmap mainArtwork;
  win::UniqueBitmap secondaryArtwork;
  win::UniqueFont fonts[kFontCount];
  HCURSOR normalCursor = nullptr;
  HCURSOR windowCursor = nullptr;
};

Resources& Res();

// The font for a role; FontRegular14 stands in for one whose creation failed.
HFONT Font(FontRole role);

// Creates the five fonts in table order (missing ones stay null).
void CreateFonts();
// Deletes the artwork and the fonts, skipping any that is missing.
void ReleaseArtworkAndFonts();

}  // namespace app
