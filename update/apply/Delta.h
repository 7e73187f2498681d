// Rebuilding one of the four large game archives from the existing client file
// and a delta entry of a patch archive, into the staging directory.
#pragma once

#include "update/disk/Callbacks.h"
#include "update/apply/DeltaFormat.h"
#include "common/WinHandles.h"
#include "update/disk/FileWork.h"
#include "update/disk/ManifestFormat.h"

#include <filesystem>

namespace orvex_update {

// IsDeltaTarget and the delta layout come from update/apply/DeltaFormat.h.

// Writes outputFile with the content that entry (the target's signed size and
// digest) describes: a plain copy when clientFile already matches, otherwise
// clientFile patched by the delta at deltaFile, streamed through one 256 KiB
// buffer. clientFile is only read. status (may be empty) receives "Rebuilding
// <path> from the existing client..." when a delta is applied; it runs on the
// caller's thread. Throws std::runtime_error with the rebuild's messages or a
// "copy_file" file-system error; a failure may leave a partial outputFile,
// which belongs to the caller's staging directory.
void RebuildFromDelta(const std::filesystem::path& clientFile, const std::filesystem::path& deltaFile,
                      const std::filesystem::path& outputFile, const ManifestFile& entry, const StatusCallback& status);

// The same, telling the caller what was hashed on the way: the output as
// written (its digest matches entry) and, when the client file was hashed
// whole (read in order while it stayed the same file), the client file with
// its identity (digest empty otherwise). With hold, an output that the
// rebuild created new is kept open in held, as the extraction holds its
// large files (see ExtractedFile): reading shared only, DELETE access.
struct RebuiltFile {
  HashedFile output;
  HashedFile base;
  win::UniqueFile held;
};
void RebuildFromDelta(const std::filesystem::path& clientFile, const std::filesystem::path& deltaFile,
                      const std::filesystem::path& outputFile, const ManifestFile& entry, const StatusCallback& status,
                      RebuiltFile& rebuilt, bool hold = false);

}  // namespace orvex_update
