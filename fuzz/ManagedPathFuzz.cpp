// libFuzzer target: IsManagedPath and IsSafeRelativePath on arbitrary bytes,
// with the properties every accepted path must have, and ParseDecimal on the
// same input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "update/disk/PathRules.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

std::string AsciiUpper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

void CheckManagedPathProperties(std::string_view path) {
  Check(!path.empty() && path.size() <= orvex_update::kMaxManagedPathLength);
  Check(orvex_update::IsSafeRelativePath(path));
  Check(path.front() != '/' && path.back() != '/');
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    Check(byte >= 0x20 && byte <= 0x7E);
    Check(std::string_view(":*?\"<>|\\").find(c) == std::string_view::npos);
  }
  const std::string lower = orvex_update::AsciiLower(path);
  Check(lower.rfind(".orvex-update", 0) != 0);
  Check(lower != "server.ini" && lower != "option.ini" && lower != "scheduler.ini" && lower != "orvex_diagnostic.ini");
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = path.find('/', start);
    const std::string_view component = path.substr(start, slash - start);
    Check(!component.empty() && component != "." && component != "..");
    Check(component.back() != '.' && component.back() != ' ');
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const bool managed = orvex_update::IsManagedPath(text);
  const bool safe = orvex_update::IsSafeRelativePath(text);
  if (managed) CheckManagedPathProperties(text);
  if (!safe) Check(!managed);
  // Windows names ignore case, so the rules must too.
  Check(orvex_update::IsManagedPath(orvex_update::AsciiLower(text)) == managed);
  Check(orvex_update::IsManagedPath(AsciiUpper(text)) == managed);
  Check(orvex_update::IsSafeRelativePath(AsciiUpper(text)) == safe);
  (void)orvex_update::DecodedClientName(text);

  try {
    const std::uint64_t value = orvex_update::ParseDecimal(text, 17179869184ULL);
    Check(value <= 17179869184ULL);
    const std::size_t firstNonZero = text.find_first_not_of('0');
    const std::string_view significant =
        firstNonZero == std::string_view::npos ? std::string_view("0") : text.substr(firstNonZero);
    Check(std::to_string(value) == significant);
  } catch (const std::runtime_error& error) {
    Check(std::string_view(error.what()) == "Invalid manifest number.");
  }
  return 0;
}
