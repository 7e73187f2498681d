#include "update/fetch/HttpsRules.h"

#include "Deployment.h"
#include "common/Utf8.h"
#include "update/disk/PathRules.h"

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
  std::string narrow;
  narrow.reserve(value.size());
  for (const wchar_t c : value) {
    if (static_cast<std::uint32_t>(c) > 0x7F) return std::nullopt;
    narrow.push_back(static_cast<char>(c));
  }
  return ReadDecimal(narrow, UINT64_MAX);
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
    if (text[i] == '\0') return false;
    if (!utf8::NextScalar(text, i)) return false;
  }
  return true;
}

}  // namespace orvex_update
