// The one HTTPS client of the update engine, on WinHTTP in synchronous mode.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "update/disk/Callbacks.h"

namespace orvex_update {

// Strict UTF-8 to UTF-16 conversion. Throws std::runtime_error("Invalid update
// URL.") for an empty text, malformed UTF-8 or a text that holds a NUL.
std::wstring WidenUtf8(const std::string& text);

// One HTTPS request (GET when body is empty, otherwise POST of body as
// text/plain) whose response body, at most limit bytes, is streamed into
// destination (created or truncated), flushed and closed. TLS 1.2 only, no
// redirects, status 200 only; the fallback patch endpoint tolerates an unknown
// CA and must match the certificate pin instead. progress, if set, gets
// (0, limit) first and (received, limit) after every written chunk, on the
// calling thread; an exception it throws ends the transfer and reaches the
// caller. Throws std::runtime_error with the user-visible text on any failure,
// and kCancelledText (update/disk/Cancel.h) between reads once the launcher is
// closing; a partial file may stay behind, and the caller cleans its folder.
void HttpsDownload(const std::string& url, const std::filesystem::path& destination, std::uint64_t limit,
                   const std::string& body, const ProgressCallback& progress);

// A GET like HttpsDownload that continues a partial body already in
// destination: when the file holds fewer than limit bytes (and at least one),
// it asks for the rest with "Range: bytes=SIZE-" and appends the answer if it
// is a 206 whose Content-Range runs from exactly SIZE to the end of a body of
// exactly limit bytes; a continued body that ends before byte limit fails with
// "Update connection interrupted.". Any other answer means starting over from zero: a 200
// is taken as the whole body, anything else is dropped for a fresh request
// without a range. progress gets (SIZE, limit) first, (0, limit) when it
// starts over, then (received, limit) per chunk as HttpsDownload does. A
// missing, empty or full-size destination is simply downloaded again. Returns
// the offset the body was continued from, 0 when it was fetched whole. Whoever
// calls this must make sure the partial body comes from the same resource; its
// bytes are not checked here, so the caller verifies the result.
std::uint64_t HttpsResumeDownload(const std::string& url, const std::filesystem::path& destination,
                                  std::uint64_t limit, const ProgressCallback& progress);

}  // namespace orvex_update
