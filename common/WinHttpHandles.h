// Move-only owners for WinHTTP handles and CRYPT32 certificate objects, in the
// pattern of WinHandles.h. Kept apart so that only network and trust code pulls
// in winhttp.h and wincrypt.h.
#pragma once

#include "common/WinHandles.h"

#include <wincrypt.h>
#include <winhttp.h>

namespace win {

struct InternetTraits {
  using Type = HINTERNET;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::WinHttpCloseHandle(h); }
};
struct CertContextTraits {
  using Type = PCCERT_CONTEXT;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::CertFreeCertificateContext(h); }
};
struct CertStoreTraits {
  using Type = HCERTSTORE;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::CertCloseStore(h, 0); }
};

using UniqueInternet = Unique<InternetTraits>;        // WinHTTP session, connection, request
using UniqueCertContext = Unique<CertContextTraits>;  // a certificate context we were handed
using UniqueCertStore = Unique<CertStoreTraits>;

}  // namespace win
