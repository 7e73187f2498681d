// Adds one PEM certificate to the Root store of the local machine: run once by
// build/win/wine-env.sh in the test Wine prefix, so that the stand-in CDN
// endpoint's development CA validates there. It is never run outside that
// prefix; the development CA must not be trusted on a real machine.
//
// Usage: orvex_trust_root.exe <certificate.pem>   (exit 0 once the store holds it)
#include "common/WinHttpHandles.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: orvex_trust_root <certificate.pem>\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string pem{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (pem.empty()) {
    std::fprintf(stderr, "cannot read %ls\n", argv[1]);
    return 1;
  }

  DWORD size = 0;
  if (!::CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                              nullptr, nullptr)) {
    std::fprintf(stderr, "not a PEM certificate: %lu\n", ::GetLastError());
    return 1;
  }
  std::vector<BYTE> der(size);
  if (!::CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size,
                              nullptr, nullptr)) {
    std::fprintf(stderr, "not a PEM certificate: %lu\n", ::GetLastError());
    return 1;
  }

  // The machine-wide Root store lives in the prefix's registry
  // (HKLM\Software\Microsoft\SystemCertificates\Root), which every Wine process
  // of the prefix reads when it builds a chain.
  win::UniqueCertStore store(::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT"));
  if (!store) {
    std::fprintf(stderr, "cannot open the Root store: %lu\n", ::GetLastError());
    return 1;
  }
  if (!::CertAddEncodedCertificateToStore(store.Get(), X509_ASN_ENCODING, der.data(), size,
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
    std::fprintf(stderr, "cannot add the certificate: %lu\n", ::GetLastError());
    return 1;
  }
  std::printf("trusted %ls\n", argv[1]);
  return 0;
}
