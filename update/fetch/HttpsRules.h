// Rules of the HTTPS transport that need no network: which endpoint gets the
// certificate pin, the deadlines, the size limit arithmetic and the texts a
// refusing server produces, and when a ranged answer continues a partial body.
// Portable; update/fetch/Https.cpp applies them on WinHTTP.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace orvex_update {

inline constexpr unsigned kFallbackPatchPort = 5443;
inline constexpr std::wstring_view kFallbackPatchPathPrefix = L"/patch/";
inline constexpr std::uint64_t kGetDeadlineMs = 900000;    // 15 minutes
inline constexpr std::uint64_t kPostDeadlineMs = 7200000;  // 2 hours
inline constexpr std::uint32_t kHttpsReadSize = 65536;

// True when host, port and URL path (query excluded) name the fallback patch
// endpoint: port 5443, a path of at least 7 characters that begins with
// "/patch/", and a host equal character for character to one of hosts.
[[nodiscard]] bool IsFallbackPatchEndpoint(std::wstring_view host, unsigned port, std::wstring_view path,
                                           std::span<const char* const> hosts);
// The same against the three deployment hosts of Deployment.h.
[[nodiscard]] bool IsFallbackPatchEndpoint(std::wstring_view host, unsigned port, std::wstring_view path);

// Overall deadline of one transfer in milliseconds: 15 minutes for a GET,
// 2 hours for a POST.
std::uint64_t DownloadDeadlineMs(bool post);

// True when a chunk of chunk bytes still fits under limit after received bytes
// (received <= limit is assumed). Cannot overflow, whatever the limit.
[[nodiscard]] bool ChunkFitsLimit(std::uint64_t received, std::uint64_t chunk, std::uint64_t limit);

// The user-visible text for a response status other than 200: the repair
// catalogue notice for 409, the generic refusal with the code otherwise.
std::string RefusalText(unsigned long status);

// True when url holds a "?" or "#" anywhere. Neither may appear unescaped
// outside a query or fragment, and not every URL cracker reports a fragment as
// extra information (Wine's leaves it in the path), so the text itself decides.
[[nodiscard]] bool HasQueryOrFragment(std::wstring_view url);

// The value of a Content-Length header: decimal digits only, at most 2^64-1;
// nothing for an empty, signed, spaced or oversized value.
[[nodiscard]] std::optional<std::uint64_t> ParseContentLength(std::wstring_view value);

// A "Content-Range: bytes FIRST-LAST/COMPLETE" value (unit case-insensitive,
// one space after it, decimal numbers, FIRST <= LAST < COMPLETE). Nothing for
// an unsatisfied-range form ("*/N"), an unknown length ("/*"), another unit or
// anything malformed.
struct ContentRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::uint64_t complete = 0;
};
[[nodiscard]] std::optional<ContentRange> ParseContentRange(std::wstring_view value);

// The offset from which a partial body of partialSize bytes is asked for
// again: partialSize when 0 < partialSize < limit; 0 (start over) for an empty
// file and for one that already holds limit bytes or more, since a full-size
// file that got here failed its check and must not be kept.
std::uint64_t ResumeOffset(std::uint64_t partialSize, std::uint64_t limit);

// True when the answer to "Range: bytes=OFFSET-" continues the partial body:
// status 206 with a Content-Range from exactly offset to the last byte of a
// body whose complete length is limit, the size the caller expects (a 206 of a
// smaller or larger file is another file). Anything else (a 200 with the whole
// body, 416, another range, a missing or malformed header) means starting over.
// The continued body must then end exactly at byte limit - 1.
[[nodiscard]] bool ContinuesPartialBody(unsigned long status, std::optional<std::wstring_view> contentRange,
                                        std::uint64_t offset, std::uint64_t limit);

// True when text is well-formed UTF-8 (no overlong forms, surrogates, code
// points above U+10FFFF or cut sequences) and holds no NUL: Win32 strings end
// at the first NUL, so one inside would silently shorten a URL or path.
[[nodiscard]] bool IsStrictUtf8Text(std::string_view text);

}  // namespace orvex_update
