#include "ui/Resources.h"

#include "ui/Picture.h"

namespace ui {
namespace {

constexpr int kMainArtworkId = 1701;
constexpr int kSecondaryArtworkId = 1702;

}  // namespace

Resources& Res() {
  static Resources resources;
  return resources;
}

bool LoadArtwork(HINSTANCE instance) {
  auto& res = Res();
  res.instance = instance;
  res.mainArtwork = LoadPicture(instance, kMainArtworkId, 800, 600);
  if (!res.mainArtwork) return false;
  res.secondaryArtwork = LoadPicture(instance, kSecondaryArtworkId, 399, 252);
  return true;
}

HFONT Font(FontRole role) {
  const HFONT font = Res().fonts[static_cast<int>(role)].Get();
  return font ? font : Res().fonts[static_cast<int>(FontRole::Regular14)].Get();
}

void CreateFonts() {
  struct FontSpec {
    const wchar_t* face;
    int height;
    int weight;
  };
  static constexpr FontSpec kFonts[kFontCount] = {
      {L"Segoe UI", -13, 400}, {L"Segoe UI", -14, 400}, {L"Segoe UI", -14, 700},
      {L"Segoe UI", -11, 400}, {L"Segoe UI Symbol", -15, 400},
  };
  for (int i = 0; i < kFontCount; ++i) {
    Res().fonts[i].Reset(::CreateFontW(kFonts[i].height, 0, 0, 0, kFonts[i].weight, FALSE, FALSE, FALSE,
                                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                       ANTIALIASED_QUALITY, DEFAULT_PITCH, kFonts[i].face));
  }
}

void ReleaseArtworkAndFonts() {
  auto& res = Res();
  res.mainArtwork.Reset();
  res.secondaryArtwork.Reset();
  for (auto& font : res.fonts) font.Reset();
}

}  // namespace ui
