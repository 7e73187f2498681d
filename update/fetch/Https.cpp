#include "update/fetch/Https.h"

#include "Deployment.h"
#include "common/Errors.h"
#include "common/Utf8.h"
#include "common/WinHttpHandles.h"
#include "common/WinHttpUrl.h"
#include "update/disk/FileCalls.h"
#include "update/disk/Cancel.h"
#include "update/disk/Digest.h"
#include "update/disk/FileWork.h"
#include "update/disk/Paths.h"
#include "update/fetch/HttpsRules.h"

#include <optional>
#include <stdexcept>
#include <vector>

namespace orvex_update {

namespace {

struct CrackedUrl {
  std::wstring host;
  std::wstring path;  // never empty: "/" when the url has none
  INTERNET_PORT port = 0;
};

CrackedUrl CrackHttpsUrl(const std::wstring& url) {
  constexpr const char* kNotHttps = "Only an HTTPS update URL without credentials is allowed.";
  const std::optional<win::UrlParts> parts = win::CrackUrl(url);
  if (!parts || parts->scheme != INTERNET_SCHEME_HTTPS || !parts->userName.empty() || !parts->password.empty() ||
      parts->host.empty()) {
    fail::Throw(fail::Kind::kUsage, kNotHttps);
  }
  if (!parts->extraInfo.empty() || HasQueryOrFragment(url)) {
    fail::Throw(fail::Kind::kUsage, "Update URL must not contain a query or fragment.");
  }

  CrackedUrl cracked;
  cracked.host.assign(parts->host);
  cracked.path.assign(parts->path.empty() ? std::wstring_view(L"/") : parts->path);
  cracked.port = parts->port;
  return cracked;
}

// Compares the server certificate of a completed exchange with the pin.
void CheckCertificatePin(HINTERNET request) {
  PCCERT_CONTEXT raw = nullptr;
  DWORD size = sizeof(raw);
  if (!::WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &raw, &size) || raw == nullptr) {
    fail::Throw(fail::Kind::kRefused, "ORVEX HTTPS peer certificate is unavailable.");
  }
  win::UniqueCertContext certificate(raw);  // the query hands us a reference to free

  Sha256 hash;
  if (!hash.Update(certificate.Get()->pbCertEncoded, certificate.Get()->cbCertEncoded))
    fail::Throw(fail::Kind::kInternal, "SHA-256 failed.");
  certificate.Reset();
  Digest digest{};
  if (!hash.Finish(digest)) fail::Throw(fail::Kind::kInternal, "SHA-256 failed.");
  if (HexDigest(digest) != orvex_deploy::kCertificatePin) {
    fail::Throw(fail::Kind::kRefused, "ORVEX update certificate does not match the published server.");
  }
}

// The response's Content-Length, when it has a readable one.
[[nodiscard]] std::optional<std::uint64_t> AnnouncedLength(HINTERNET request) {
  wchar_t text[32] = {};
  DWORD size = sizeof(text);
  if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
    return std::nullopt;
  }
  return ParseContentLength(std::wstring_view(text, size / sizeof(wchar_t)));
}

}  // namespace

std::wstring WidenUtf8(const std::string& text) {
  if (text.empty() || !IsStrictUtf8Text(text)) fail::Throw(fail::Kind::kUsage, "Invalid update URL.");
  std::optional<std::wstring> wide = win::WideFromCodePage(CP_UTF8, text, true);
  if (!wide) fail::Throw(fail::Kind::kUsage, "Invalid update URL.");
  return std::move(*wide);
}

namespace {

// One request and its response, handles in opening order so that the request
// closes first and the session last on every path.
struct Exchange {
  win::UniqueInternet session;
  win::UniqueInternet connection;
  win::UniqueInternet request;
};

// Opens, sends and receives one request, checks the pin, and returns the
// status. headers (GET only) is one extra header line ending in CRLF, or empty.
[[nodiscard]] DWORD SendRequest(const CrackedUrl& target, const std::string& body, const std::wstring& headers,
                  Exchange& exchange) {
  const bool post = !body.empty();
  exchange.session.Reset(::WinHttpOpen(L"ORVEX-Updater/1", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
  if (!exchange.session) fail::Throw(fail::Kind::kInternal, "Cannot initialize HTTPS.");
  const HINTERNET session = exchange.session.Get();

  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
  if (!::WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols))) {
    fail::Throw(fail::Kind::kInternal, "TLS 1.2 is unavailable.");
  }
  if (!::WinHttpSetTimeouts(session, 15000, 15000, 30000, 30000))
    fail::Throw(fail::Kind::kInternal, "Cannot configure HTTPS timeout.");

  exchange.connection.Reset(::WinHttpConnect(session, target.host.c_str(), target.port, 0));
  if (!exchange.connection) fail::Throw(fail::Kind::kInternal, "Cannot connect to update host.");

  exchange.request.Reset(::WinHttpOpenRequest(exchange.connection.Get(), post ? L"POST" : L"GET",
                                              target.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
  if (!exchange.request) fail::Throw(fail::Kind::kInternal, "Cannot request update.");
  const HINTERNET request = exchange.request.Get();

  const bool pinned = IsFallbackPatchEndpoint(target.host, target.port, target.path);
  if (pinned) {
    // Only the unknown-CA check is relaxed; name, dates and usage stay checked,
    // and the pin below replaces the missing chain of trust.
    DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    if (!::WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof(flags))) {
      fail::Throw(fail::Kind::kInternal, "Cannot configure the ORVEX update certificate.");
    }
  }

  DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  if (!::WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof(redirects))) {
    fail::Throw(fail::Kind::kInternal, "Cannot configure HTTPS redirect policy.");
  }

  bool sent;
  if (post) {
    if (body.size() > MAXDWORD) fail::Throw(fail::Kind::kNetwork, "HTTPS request or certificate validation failed.");
    const auto length = static_cast<DWORD>(body.size());
    sent = ::WinHttpSendRequest(request, L"Content-Type: text/plain\r\n", static_cast<DWORD>(-1L),
                                const_cast<char*>(body.data()), length, length, 0);
  } else if (!headers.empty()) {
    sent = ::WinHttpSendRequest(request, headers.c_str(), static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
  } else {
    sent = ::WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
  }
  if (!sent || !::WinHttpReceiveResponse(request, nullptr)) {
    // The WinHTTP code tells a refused or broken connection from a rejected certificate.
    fail::Throw(fail::Kind::kNetwork, "HTTPS request or certificate validation failed.", ::GetLastError());
  }

  // Before anything of the response is believed, not even its status.
  if (pinned) CheckCertificatePin(request);

  DWORD status = 0;
  DWORD statusSize = sizeof(status);
  if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
    fail::Throw(fail::Kind::kRefused, "Update server response could not be read.");
  }
  return status;
}

// The response's Content-Range header, when it has one of sane length.
[[nodiscard]] std::optional<std::wstring> ContentRangeHeader(HINTERNET request) {
  wchar_t text[128] = {};
  DWORD size = sizeof(text) - sizeof(wchar_t);
  if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_RANGE, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
    return std::nullopt;
  }
  return std::wstring(text, size / sizeof(wchar_t));
}

// Streams the body of an answered request into file, which already holds the
// body's first `offset` bytes and is positioned after them; flushes it. With
// endsAtLimit the body must run to exactly limit bytes in all (a continued
// range ends at the file's last byte), whether or not a length was announced.
void ReceiveBody(HINTERNET request, HANDLE file, std::uint64_t offset, std::uint64_t limit, bool post,
                 const ProgressCallback& progress, bool endsAtLimit = false) {
  // WinHTTP ends the body quietly when the server closes early (Wine at least
  // reports a clean TLS close as a normal end), so a body cut short of its
  // announced length would pass for a complete one; the length is checked here.
  const std::optional<std::uint64_t> announced = AnnouncedLength(request);

  const std::uint64_t deadline = DownloadDeadlineMs(post);
  const std::uint64_t started = ::GetTickCount64();
  std::uint64_t received = offset;
  std::vector<char> buffer(kHttpsReadSize);
  FlushBehind flushBehind(file);
  for (;;) {
    // Checked before each read only: one read may still block for up to the
    // 30 s receive timeout past the deadline (or past a closing launcher's
    // request to stop, which is why its shutdown does not wait for us).
    ThrowIfCancelled();
    if (::GetTickCount64() - started >= deadline) fail::Throw(fail::Kind::kNetwork, "Update download timed out.");
    DWORD count = 0;
    if (!::WinHttpReadData(request, buffer.data(), kHttpsReadSize, &count)) {
      fail::Throw(fail::Kind::kNetwork, "Update connection interrupted.");
    }
    if (count == 0) {
      if ((announced && received - offset != *announced) || (endsAtLimit && received != limit)) {
        fail::Throw(fail::Kind::kNetwork, "Update connection interrupted.");
      }
      break;
    }
    if (!ChunkFitsLimit(received, count, limit))
      fail::Throw(fail::Kind::kIntegrity, "Downloaded file exceeds its size limit.");
    received += count;
    // A short write is continued: the write after it fails with the reason,
    // whose code tells a full disk from a dropped connection to the session.
    if (!WriteAll(file, buffer.data(), count)) {
      fail::Throw(fail::Kind::kDisk, "Cannot write download; check disk space.", ::GetLastError());
    }
    flushBehind.Written(count);
    if (progress) progress(received, limit);
  }
  if (!calls::FlushFileBuffers(file)) fail::Throw(fail::Kind::kDisk, "Cannot persist download.");
}

// Answers of one request that are not the body: the refusal texts, then the
// destination created (or truncated) and the body streamed into it.
void ReceiveWholeBody(const Exchange& exchange, DWORD status, const std::filesystem::path& destination,
                      std::uint64_t limit, bool post, const ProgressCallback& progress) {
  // A 5xx says the server cannot serve for now, which another run may find
  // changed; a 4xx is the server's answer to this very request.
  if (status != 200) {
    fail::Throw(status >= 500 && status <= 599 ? fail::Kind::kNetwork : fail::Kind::kRefused, RefusalText(status));
  }
  win::UniqueFile file = OpenFileRetrying(destination, GENERIC_WRITE, 0, CREATE_ALWAYS);
  // A volume out of file entries refuses the new name as a full one does.
  if (!file) {
    const DWORD error = ::GetLastError();
    fail::ThrowNamingDisk(fail::FileKind(error), "Cannot create downloaded file.", error);
  }
  ReceiveBody(exchange.request.Get(), file.Get(), 0, limit, post, progress);
}

}  // namespace

void HttpsDownload(const std::string& url, const std::filesystem::path& destination, std::uint64_t limit,
                   const std::string& body, const ProgressCallback& progress) {
  if (progress) progress(0, limit);
  const CrackedUrl target = CrackHttpsUrl(WidenUtf8(url));
  Exchange exchange;
  const DWORD status = SendRequest(target, body, {}, exchange);
  ReceiveWholeBody(exchange, status, destination, limit, !body.empty(), progress);
}

std::uint64_t HttpsResumeDownload(const std::string& url, const std::filesystem::path& destination,
                                  std::uint64_t limit, const ProgressCallback& progress) {
  // Held without sharing from the size query to the last write, so the partial
  // body cannot change between the two.
  win::UniqueFile file = OpenFileRetrying(destination, GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, OPEN_EXISTING);
  LARGE_INTEGER size{};
  const std::uint64_t offset =
      file && calls::GetFileSizeEx(file.Get(), &size) ? ResumeOffset(static_cast<std::uint64_t>(size.QuadPart), limit) : 0;
  if (offset == 0) {
    file.Reset();
    HttpsDownload(url, destination, limit, {}, progress);
    return 0;
  }

  if (progress) progress(offset, limit);
  const CrackedUrl target = CrackHttpsUrl(WidenUtf8(url));
  {
    Exchange exchange;
    const DWORD status =
        SendRequest(target, {}, L"Range: bytes=" + std::to_wstring(offset) + L"-\r\n", exchange);
    const std::optional<std::wstring> range = ContentRangeHeader(exchange.request.Get());
    if (ContinuesPartialBody(status, range ? std::optional<std::wstring_view>(*range) : std::nullopt, offset,
                             limit)) {
      LARGE_INTEGER end{};
      if (!calls::SetFilePointerEx(file.Get(), end, nullptr, FILE_END))
        fail::Throw(fail::Kind::kDisk, "Cannot write download; check disk space.");
      ReceiveBody(exchange.request.Get(), file.Get(), offset, limit, false, progress, true);
      return offset;
    }
    file.Reset();
    if (progress) progress(0, limit);
    // A server without ranges sends the whole body instead: take it from zero.
    if (status == 200) {
      ReceiveWholeBody(exchange, status, destination, limit, false, progress);
      return 0;
    }
  }
  // Any other answer (416 for a partial the server's file does not extend, a
  // range that starts elsewhere) is left unread: a fresh request from zero.
  Exchange exchange;
  const DWORD status = SendRequest(target, {}, {}, exchange);
  ReceiveWholeBody(exchange, status, destination, limit, false, progress);
  return 0;
}

}  // namespace orvex_update
