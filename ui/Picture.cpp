#include "ui/Picture.h"

#include <objidl.h>
#include <gdiplus.h>

#include <cstring>
#include <memory>

namespace ui {
namespace {

// GdiplusStartup / GdiplusShutdown for the length of one decode.
class GdiplusSession {
 public:
  GdiplusSession() {
    Gdiplus::GdiplusStartupInput input;  // version 1, everything else default
    ok_ = Gdiplus::GdiplusStartup(&token_, &input, nullptr) == Gdiplus::Ok;
  }
  GdiplusSession(const GdiplusSession&) = delete;
  GdiplusSession& operator=(const GdiplusSession&) = delete;
  ~GdiplusSession() {
    if (ok_) Gdiplus::GdiplusShutdown(token_);
  }
  bool Ok() const { return ok_; }

 private:
  ULONG_PTR token_ = 0;
  bool ok_ = false;
};

}  // namespace

win::UniqueBitmap LoadPicture(HINSTANCE instance, int resourceId, int width, int height) {
  HRSRC resource = ::FindResourceW(instance, MAKEINTRESOURCEW(resourceId), MAKEINTRESOURCEW(10));
  if (!resource) return {};
  const DWORD size = ::SizeofResource(instance, resource);
  HGLOBAL loaded = ::LoadResource(instance, resource);
  const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
  if (!bytes || size == 0) return {};

  // The stream frees this block when it is released.
  win::UniqueGlobal block(::GlobalAlloc(GMEM_MOVEABLE, size));
  if (!block) return {};
  void* target = ::GlobalLock(block.Get());
  if (!target) return {};
  std::memcpy(target, bytes, size);
  ::GlobalUnlock(block.Get());

  win::ComRef<IStream> stream;
  if (FAILED(::CreateStreamOnHGlobal(block.Get(), TRUE, stream.Out()))) return {};
  block.Release();

  GdiplusSession gdiplus;
  if (!gdiplus.Ok()) return {};
  HBITMAP result = nullptr;
  {
    // The GDI+ bitmap must be gone before GdiplusShutdown.
    std::unique_ptr<Gdiplus::Bitmap> bitmap(Gdiplus::Bitmap::FromStream(stream.Get()));
    if (bitmap && bitmap->GetLastStatus() == Gdiplus::Ok &&
        bitmap->GetWidth() == static_cast<UINT>(width) && bitmap->GetHeight() == static_cast<UINT>(height)) {
      if (bitmap->GetHBITMAP(Gdiplus::Color(0xFF000000), &result) != Gdiplus::Ok) result = nullptr;
    }
  }
  return win::UniqueBitmap(result);
}

}  // namespace ui
