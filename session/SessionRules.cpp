#include "session/SessionRules.h"

#include <algorithm>

#include "common/Errors.h"
#include "update/disk/PathRules.h"

namespace session {

std::uint16_t PatchNumberFromFileName(std::string_view name) {
  const bool prefixed = name.substr(0, 5) == "patch";
  const std::size_t minLength = prefixed ? 10 : 5;
  const std::size_t maxLength = prefixed ? 14 : 9;
  if (name.size() < minLength || name.size() > maxLength) return 0;
  if (name.substr(name.size() - 4) != ".zip") return 0;
  const std::string_view digits = name.substr(prefixed ? 5 : 0, name.size() - 4 - (prefixed ? 5 : 0));
  const std::optional<std::uint64_t> value = orvex_update::ReadDecimal(digits, 0x7FFF);
  return value && *value >= 1 ? static_cast<std::uint16_t>(*value) : 0;
}

// The texts are assembled when asked for, from the product name and a phrase.
std::string InitialText() { return std::string("Contacting the ") + "ORVEX" + " login server, please wait"; }
std::string ConnectionFailedText() { return std::string("Unable to connect to the ") + "ORVEX" + " login server"; }
std::string ClientNewerText() { return std::string("Client is ") + "newer."; }
std::string ReadyText() { return std::string("Ready to play ") + "ORVEX"; }

std::vector<unsigned> DefaultRetryWaits() { return {5, 15, 45, 120, 300}; }

std::vector<unsigned> RetryWaitsFrom(std::string_view text) {
  std::vector<unsigned> waits;
  std::size_t start = 0;
  while (!text.empty()) {
    const std::size_t comma = text.find(',', start);
    const std::string_view item = text.substr(start, comma == std::string_view::npos ? text.npos : comma - start);
    const std::optional<std::uint64_t> value = item.size() > 4 ? std::nullopt : orvex_update::ReadDecimal(item, 3600);
    if (!value || *value < 1 || waits.size() == 5) return DefaultRetryWaits();
    waits.push_back(static_cast<unsigned>(*value));
    if (comma == std::string_view::npos) return waits;
    start = comma + 1;
  }
  return DefaultRetryWaits();
}

namespace {

// WinHTTP codes of a certificate the platform refused (winhttp.h).
constexpr unsigned long kCertificateCodes[] = {
    12037,  // ERROR_WINHTTP_SECURE_CERT_DATE_INVALID
    12038,  // ERROR_WINHTTP_SECURE_CERT_CN_INVALID
    12044,  // ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED
    12045,  // ERROR_WINHTTP_SECURE_INVALID_CA
    12057,  // ERROR_WINHTTP_SECURE_CERT_REV_FAILED
    12169,  // ERROR_WINHTTP_SECURE_INVALID_CERT
    12170,  // ERROR_WINHTTP_SECURE_CERT_REVOKED
    12175,  // ERROR_WINHTTP_SECURE_FAILURE
    12179,  // ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE
};

}  // namespace

bool IsTransientDownloadFailure(const fail::Failure& failure) {
  if (failure.kind != fail::Kind::kNetwork) return false;
  // A full disk stays full however often the download runs again.
  if (fail::IsDiskFull(failure.systemCode)) return false;
  return std::find(std::begin(kCertificateCodes), std::end(kCertificateCodes), failure.systemCode) ==
         std::end(kCertificateCodes);
}

}  // namespace session
