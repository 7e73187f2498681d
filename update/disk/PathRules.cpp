#include "update/disk/PathRules.h"
#include "common/Errors.h"

#include <array>
#include <limits>
#include <stdexcept>

namespace orvex_update {
namespace {

[[nodiscard]] bool IsSeparator(char c) { return c == '/' || c == '\\'; }

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

[[nodiscard]] bool EqualsUpper(std::string_view text, std::string_view upper) {
  if (text.size() != upper.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (AsciiUpper(text[i]) != upper[i]) return false;
  }
  return true;
}

// Windows maps these stems to devices in every directory, whatever the
// extension: "nul.txt" and "data/aux.tbl" open the device, not a file.
[[nodiscard]] bool IsDeviceName(std::string_view component) {
  std::string_view stem = component.substr(0, component.find('.'));
  // The Win32 path layer also drops spaces at the end of the stem, so
  // "NUL .txt" and "COM1 .log" reach the device as well.
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  if (stem.size() == 3) {
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL"}) {
      if (EqualsUpper(stem, device)) return true;
    }
    return false;
  }
  if (stem.size() == 4 && (EqualsUpper(stem.substr(0, 3), "COM") || EqualsUpper(stem.substr(0, 3), "LPT"))) {
    return stem[3] >= '1' && stem[3] <= '9';
  }
  return false;
}

[[nodiscard]] bool IsSafeComponent(std::string_view component) {
  if (component.empty()) return false;
  // Win32 strips trailing dots and spaces, so "a." is "a" and ".." climbs.
  if (component.back() == '.' || component.back() == ' ') return false;
  return !IsDeviceName(component);
}

// The file system answers to a generated 8.3 alias as well as to the long name:
// "SCHEDU~1.INI" opens scheduler.ini and "ORVEX-~1" the update area on NTFS,
// and Wine makes up its own hashed aliases of the same shape ("ORVEX~AB"). An
// alias is at most 8 + 3 characters with one dot and a "~" in it; at the root,
// where the protected names live, such a component is refused outright.
[[nodiscard]] bool LooksLikeShortAlias(std::string_view component) {
  const std::size_t dot = component.find('.');
  const std::string_view stem = component.substr(0, dot);
  const std::string_view extension = dot == std::string_view::npos ? std::string_view{} : component.substr(dot + 1);
  if (stem.empty() || stem.size() > 8 || extension.size() > 3) return false;
  if (extension.find('.') != std::string_view::npos) return false;
  return component.find('~') != std::string_view::npos;
}

}  // namespace

bool IsSafeRelativePath(std::string_view text) {
  if (text.empty() || IsSeparator(text.front())) return false;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20) return false;
    for (const char bad : std::string_view(":*?\"<>|")) {
      if (c == bad) return false;
    }
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && !IsSeparator(text[i])) continue;
    const std::string_view component = text.substr(start, i - start);
    // One separator at the very end leaves an empty tail, which is allowed
    // here; the managed-path rule refuses it separately.
    const bool trailingTail = i == text.size() && component.empty();
    if (!trailingTail && !IsSafeComponent(component)) return false;
    start = i + 1;
  }
  return true;
}

bool IsSafeRelativePath(const char* text) { return text != nullptr && IsSafeRelativePath(std::string_view(text)); }

bool IsManagedPath(std::string_view text) {
  if (text.empty() || text.size() > kMaxManagedPathLength) return false;
  if (!IsSafeRelativePath(text)) return false;
  if (text.back() == '/') return false;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\' || byte < 0x20 || byte > 0x7E) return false;
  }
  return !NamesProtectedClientFile(text);
}

bool NamesProtectedClientFile(std::string_view text) {
  const std::string lower = AsciiLower(text);
  if (lower.compare(0, 13, ".orvex-update") == 0) return true;
  for (std::string_view protectedName : {"server.ini", "option.ini", "scheduler.ini", "orvex_diagnostic.ini"}) {
    if (lower == protectedName) return true;
  }
  return LooksLikeShortAlias(text.substr(0, text.find('/')));
}

bool IsManagedPath(const char* text) { return text != nullptr && IsManagedPath(std::string_view(text)); }

std::optional<std::uint64_t> ReadDecimal(std::string_view text, std::uint64_t maximum) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
    if (value > maximum) return std::nullopt;
  }
  return value;
}

std::uint64_t ParseDecimal(std::string_view text, std::uint64_t maximum) {
  const std::optional<std::uint64_t> value = ReadDecimal(text, maximum);
  if (!value) fail::Throw(fail::Kind::kIntegrity, "Invalid manifest number.");
  return *value;
}

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

const char16_t* DecodedClientName(std::string_view managedPath) {
  // The one client file with a non-ASCII name ("ö" is UTF-8 C3 B6 in the
  // manifest). The comparison is on the lowered text, so "%C3%B6" matches too.
  if (AsciiLower(managedPath) == "chrselect/upc_ka_wt_ma_y%c3%b6netim.v7anim") {
    return u"ChrSelect/upc_ka_wt_ma_Y\u00F6netim.v7anim";
  }
  return nullptr;
}

}  // namespace orvex_update
