// Move-only owners for Win32 handles and scoped GDI state. Each owner knows its
// invalid value and its closing function; nothing is closed by hand.
#pragma once

#include "common/Windows.h"

#include <bcrypt.h>

#include <utility>

namespace win {

template <typename Traits>
class Unique {
 public:
  using Type = typename Traits::Type;

  Unique() noexcept = default;
  explicit Unique(Type value) noexcept : value_(value) {}
  Unique(const Unique&) = delete;
  Unique& operator=(const Unique&) = delete;
  Unique(Unique&& other) noexcept : value_(other.Release()) {}
  Unique& operator=(Unique&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~Unique() { Reset(); }

  Type Get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return value_ != Traits::Invalid(); }
  // Gives up ownership without closing.
  Type Release() noexcept { return std::exchange(value_, Traits::Invalid()); }
  // Closes now through close, a call with CloseHandle's contract (a BOOL,
  // false on failure), for the closes whose result matters. The owner is
  // empty afterwards whatever the result.
  template <typename CloseCall>
  [[nodiscard]] bool Close(CloseCall close) {
    return close(Release()) != FALSE;
  }
  void Reset(Type value = Traits::Invalid()) noexcept {
    const Type old = std::exchange(value_, value);
    if (old != Traits::Invalid()) Traits::Close(old);
  }

 private:
  Type value_ = Traits::Invalid();
};

struct HandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::CloseHandle(h); }
};
struct FileHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::CloseHandle(h); }
};
template <typename T>
struct GdiObjectTraits {
  using Type = T;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::DeleteObject(h); }
};
struct MemoryDcTraits {
  using Type = HDC;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::DeleteDC(h); }
};
struct GlobalTraits {
  using Type = HGLOBAL;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::GlobalFree(h); }
};
struct FindTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::FindClose(h); }
};
struct RegKeyTraits {
  using Type = HKEY;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::RegCloseKey(h); }
};

// BCrypt provider, hash and key handles (bcrypt.dll).
struct BcryptAlgorithmTraits {
  using Type = BCRYPT_ALG_HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::BCryptCloseAlgorithmProvider(h, 0); }
};
struct BcryptHashTraits {
  using Type = BCRYPT_HASH_HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::BCryptDestroyHash(h); }
};
struct BcryptKeyTraits {
  using Type = BCRYPT_KEY_HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::BCryptDestroyKey(h); }
};

using UniqueHandle = Unique<HandleTraits>;        // processes, threads, mutexes, snapshots
using UniqueFile = Unique<FileHandleTraits>;      // CreateFile results
using UniqueFind = Unique<FindTraits>;            // FindFirstFile(Ex) searches
using UniqueBitmap = Unique<GdiObjectTraits<HBITMAP>>;
using UniqueFont = Unique<GdiObjectTraits<HFONT>>;
using UniqueBrush = Unique<GdiObjectTraits<HBRUSH>>;
using UniqueRegion = Unique<GdiObjectTraits<HRGN>>;
using UniqueMemoryDc = Unique<MemoryDcTraits>;
using UniqueGlobal = Unique<GlobalTraits>;
using UniqueRegKey = Unique<RegKeyTraits>;
using UniqueBcryptAlgorithm = Unique<BcryptAlgorithmTraits>;
using UniqueBcryptHash = Unique<BcryptHashTraits>;
using UniqueBcryptKey = Unique<BcryptKeyTraits>;

// Selects a GDI object into a DC and puts the previous one back.
class SelectScope {
 public:
  SelectScope(HDC dc, HGDIOBJ object) noexcept : dc_(dc), old_(object ? ::SelectObject(dc, object) : nullptr) {}
  SelectScope(const SelectScope&) = delete;
  SelectScope& operator=(const SelectScope&) = delete;
  ~SelectScope() {
    if (old_) ::SelectObject(dc_, old_);
  }

 private:
  HDC dc_;
  HGDIOBJ old_;
};

// Saves the whole DC state (clipping included) and restores it.
class SavedDcScope {
 public:
  explicit SavedDcScope(HDC dc) noexcept : dc_(dc), saved_(::SaveDC(dc)) {}
  SavedDcScope(const SavedDcScope&) = delete;
  SavedDcScope& operator=(const SavedDcScope&) = delete;
  ~SavedDcScope() {
    if (saved_) ::RestoreDC(dc_, saved_);
  }

 private:
  HDC dc_;
  int saved_;
};

// A window's (or, for no window, the screen's) DC from GetDC, released with
// ReleaseDC.
class WindowDc {
 public:
  explicit WindowDc(HWND window) noexcept : window_(window), dc_(::GetDC(window)) {}
  WindowDc(const WindowDc&) = delete;
  WindowDc& operator=(const WindowDc&) = delete;
  ~WindowDc() {
    if (dc_) ::ReleaseDC(window_, dc_);
  }
  HDC Get() const noexcept { return dc_; }
  explicit operator bool() const noexcept { return dc_ != nullptr; }

 private:
  HWND window_;
  HDC dc_;
};

// BeginPaint/EndPaint.
class PaintScope {
 public:
  explicit PaintScope(HWND window) noexcept : window_(window) { dc_ = ::BeginPaint(window, &paint_); }
  PaintScope(const PaintScope&) = delete;
  PaintScope& operator=(const PaintScope&) = delete;
  ~PaintScope() { ::EndPaint(window_, &paint_); }
  HDC Dc() const noexcept { return dc_; }

 private:
  HWND window_;
  PAINTSTRUCT paint_{};
  HDC dc_ = nullptr;
};

// Releases a COM interface pointer.
template <typename T>
class ComRef {
 public:
  ComRef() noexcept = default;
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ~ComRef() {
    if (ptr_) ptr_->Release();
  }
  T* Get() const noexcept { return ptr_; }
  T** Out() noexcept { return &ptr_; }
  T* operator->() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  T* ptr_ = nullptr;
};

}  // namespace win
