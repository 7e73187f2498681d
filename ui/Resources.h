// The window's resources: the artwork, the fonts and the cursors. Loaded by
// start-up before the window exists and released after it is gone; read by
// the painting and the input on the window thread.
#pragma once

#include "common/WinHandles.h"

namespace ui {

enum class FontRole { Regular13, Regular14, Bold14, Small11, Symbol15 };
inline constexpr int kFontCount = 5;

struct Resources {
  HINSTANCE instance = nullptr;
  win::UniqueBitmap mainArtwork;
  win::UniqueBitmap secondaryArtwork;
  win::UniqueFont fonts[kFontCount];
  HCURSOR normalCursor = nullptr;
  HCURSOR windowCursor = nullptr;
};

Resources& Res();

// Loads the main (800x600) and the secondary (399x252) artwork of the module;
// false when the main artwork is missing. The secondary one may be missing.
[[nodiscard]] bool LoadArtwork(HINSTANCE instance);

// The font for a role; FontRegular14 stands in for one whose creation failed.
HFONT Font(FontRole role);

// Creates the five fonts in table order (missing ones stay null).
void CreateFonts();
// Deletes the artwork and the fonts, skipping any that is missing.
void ReleaseArtworkAndFonts();

}  // namespace ui
