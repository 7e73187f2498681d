// Loading a signed update manifest: the signature is checked before any byte
// of the manifest is interpreted.
#pragma once

#include <filesystem>

#include "update/disk/ManifestFormat.h"

namespace orvex_update {

// Reads the manifest (at most 16 MiB) and its detached signature (at most 1024
// bytes), verifies the signature with the pinned update key, then parses.
// Throws "Update signature is invalid.", the parser's message, or the read
// errors of ReadBoundedFile unchanged.
UpdateManifest LoadSignedManifest(const std::filesystem::path& manifestPath,
                                  const std::filesystem::path& signaturePath);

}  // namespace orvex_update
