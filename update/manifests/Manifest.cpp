#include "update/manifests/Manifest.h"

#include <stdexcept>
#include <string>

#include "common/Errors.h"
#include "update/disk/Digest.h"
#include "update/disk/Paths.h"

namespace orvex_update {

UpdateManifest LoadSignedManifest(const std::filesystem::path& manifestPath,
                                  const std::filesystem::path& signaturePath) {
  const std::vector<std::uint8_t> manifestBytes = ReadBoundedFile(manifestPath, kMaxManifestBytes);
  const std::vector<std::uint8_t> signature = ReadBoundedFile(signaturePath, kMaxSignatureBytes);
  if (!VerifyUpdateSignature(manifestBytes, signature))
    fail::Throw(fail::Kind::kIntegrity, "Update signature is invalid.");
  UpdateManifest manifest;
  std::string errorText;
  if (!ParseUpdateManifest(manifestBytes, manifest, errorText)) fail::Throw(fail::Kind::kIntegrity, errorText);
  return manifest;
}

}  // namespace orvex_update
