#include "update/fetch/HttpsRules.h"

#include "Deployment.h"

namespace orvex_update {

namespace {

// Exact, case-sensitive comparison of a cracked wide host with an ASCII entry.
[[nodiscard]] bool SameHost(std::wstring_view host, const char* entry) {
  const std::string_view expected(entry);
  if (host.size() != expected.size()) return false;
  for (std::size_t i = 0; i < host.size(); ++i) {
    if (host[i] != static_cast<wchar_t>(static_cast<unsigned char>(expected[i]))) return false;
  }
  return true;
}

}  // namespace

bool IsFallbackPatchEndpoint(std::wstring_view host, unsigned port, std::wstring_view path,
                             std::span<const char* const> hosts) {
  if (port != kFallbackPatchPort) return false;
  if (path.size() < kFallbackPatchPathPrefix.size() || !path.starts_with(kFallbackPatchPathPrefix)) return false;
  for (const char* entry : hosts) {
    if (entry != nullptr && SameHost(host, entry)) return true;
  }
  return false;
}

bool IsFallbackPatchEndpoint(std::wstring_view host, unsigned port, std::wstring_view path) {
  return IsFallbackPatchEndpoint(host, port, path, orvex_deploy::kFallbackHosts);
}

std::uint64_t DownloadDeadlineMs(bool post) { return post ? kPostDeadlineMs : kGetDeadlineMs; }

bool ChunkFitsLimit(std::uint64_t received, std::uint64_t chunk, std::uint64_t limit) {
  // received + chunk > limit, written so that a limit near 2^64 cannot wrap.
  return received <= limit && chunk <= limit - received;
}

std::string RefusalText(unsigned long status) {
  if (status == 409) {
    return "Onarim katalogu bu surumle eslesmiyor (HTTP 409). Guncel surumun sunucuda yayinlanmasi gerekiyor.";
  }
  return "Yama sunucusu istegi reddetti (HTTP " + std::to_string(status) + ").";
}

bool HasQueryOrFragment(std::wstring_view url) { return url.find_first_of(L"?#") != std::wstring_view::npos; }

std::optional<std::uint64_t> ParseContentLength(std::wstring_view value) {
  if (value.empty()) return std::nullopt;
  std::uint64_t result = 0;
  for (const wchar_t c : value) {
    if (c < L'0' || c > L'9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - L'0');
    if (result > (UINT64_MAX - digit) / 10) return std::nullopt;
    result = result * 10 + digit;
  }
  return result;
}

std::optional<ContentRange> ParseContentRange(std::wstring_view value) {
  constexpr std::wstring_view kUnit = L"bytes ";
  if (value.size() < kUnit.size()) return std::nullopt;
  for (std::size_t i = 0; i < kUnit.size(); ++i) {
    wchar_t c = value[i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (c != kUnit[i]) return std::nullopt;
  }
  value.remove_prefix(kUnit.size());
  const std::size_t dash = value.find(L'-');
  const std::size_t slash = value.find(L'/');
  if (dash == std::wstring_view::npos || slash == std::wstring_view::npos || slash < dash) return std::nullopt;
  const auto first = ParseContentLength(value.substr(0, dash));
  const auto last = ParseContentLength(value.substr(dash + 1, slash - dash - 1));
  const auto complete = ParseContentLength(value.substr(slash + 1));
  if (!first || !last || !complete || *first > *last || *last >= *complete) return std::nullopt;
  return ContentRange{*first, *last, *complete};
}

std::uint64_t ResumeOffset(std::uint64_t partialSize, std::uint64_t limit) {
  return partialSize > 0 && partialSize < limit ? partialSize : 0;
}

bool ContinuesPartialBody(unsigned long status, std::optional<std::wstring_view> contentRange, std::uint64_t offset,
                          std::uint64_t limit) {
  if (status != 206 || !contentRange) return false;
  const std::optional<ContentRange> range = ParseContentRange(*contentRange);
  // An open-ended request must be answered through the last byte: a shorter
  // slice would end the body early and pass for the whole file.
  return range && range->first == offset && offset > 0 && range->last + 1 == range->complete &&
         range->complete == limit;
}

bool IsStrictUtf8Text(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead == 0) return false;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    std::uint32_t code;
    std::uint32_t smallest;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, code = lead & 0x1F, smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, code = lead & 0x0F, smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, code = lead & 0x07, smallest = 0x10000;
    } else {
      return false;  // stray continuation byte, C0/C1 overlong lead, or beyond U+10FFFF
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

}  // namespace orvex_update
