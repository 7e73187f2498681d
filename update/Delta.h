// Rebuilding one of the four large game archives from the existing client file
// and a delta entry of a patch archive, into the staging directory.
#pragma once

#include "update/Callbacks.h"
#include "update/DeltaFormat.h"
#include "update/FileWork.h"
#include "update/ManifestFormat.h"

#include <filesystem>

namespace orvex_update {

// IsDeltaTarget and the delta layout come from update/DeltaFormat.h.

// Writes outputFile with the content that entry (the target's signed size and
// digest) describes: a plain copy when clientFile already matches, otherwise
// clientFile patched by the delta at deltaFile, streamed through one 256 KiB
// buffer. clientFile is only read. progress (may be empty) receives "Rebuilding
// <path> from the existing client..." when a delta is applied; it runs on the
// caller's thread. Throws std::runtime_error with the rebuild's messages or a
// "copy_file" file-system error; a failure may leave a partial outputFile,
// which belongs to the caller's staging directory.
void RebuildFromDelta(const std::filesystem::path& clientFile, const std::filesystem::path& deltaFile,
                      const std::filesystem::path& outputFile, const ManifestFile& entry,
                      const StatusCallback& progress);

// The same, telling the caller what was hashed on the way: the output as
// written (its digest matches entry) and, when the client file was hashed,
// the client file (digest empty otherwise).
//
// When backupFile is given, the rebuild also copies the client file there as
// it reads it (a new file, created exclusively, with the client file's last
// write time), so that the caller's backup of it costs no second pass over
// it. backedUp then tells that the copy is complete: every byte of the client
// file, read in order while the client file stayed the same file, and hashed
// into base. Otherwise, and on any failure, no file is left at backupFile
// (best effort) and the caller makes the backup itself.
struct RebuiltFile {
  HashedFile output;
  HashedFile base;
  bool backedUp = false;
};
void RebuildFromDelta(const std::filesystem::path& clientFile, const std::filesystem::path& deltaFile,
                      const std::filesystem::path& outputFile, const ManifestFile& entry,
                      const StatusCallback& progress, RebuiltFile& rebuilt,
                      const std::filesystem::path& backupFile = {});

}  // namespace orvex_update
