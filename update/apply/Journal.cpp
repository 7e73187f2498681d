#include "update/apply/Journal.h"

#include <exception>
#include <stdexcept>
#include <string>

#include "update/apply/JournalFormat.h"
#include "update/apply/RecoverySteps.h"
#include "update/manifests/Manifest.h"
#include "update/disk/FileCalls.h"
#include "update/disk/Paths.h"
#include "update/disk/Version.h"

namespace orvex_update {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMaxJournalBytes = 16777216;

// What a finished or never-started transaction leaves holds nothing that
// could restore the client. A new install needs it gone (kMustGo); start-up
// and the recovery after a failed download go on without it when it cannot
// be removed yet (kMayStay), and the next download or repair removes it.
enum class Leftovers { kMustGo, kMayStay };

void RemoveLeftovers(const fs::path& clientFolder, const fs::path& current, Leftovers policy) {
  if (policy == Leftovers::kMustGo) {
    RetireJournal(clientFolder, current);
    RemoveUpdateDirectory(clientFolder, current);
    return;
  }
  try {
    RetireJournal(clientFolder, current);
    RemoveUpdateDirectory(clientFolder, current);
  } catch (const std::exception&) {
  }
}

// Moves a file within the client folder and flushes it at its new place.
// Wine does not honour MOVEFILE_WRITE_THROUGH; the flush of the moved file is
// what puts the move on disk, so a power cut cannot bring the old name back
// once later steps have reached the disk. It stands for a removal and fails
// like one.
void MoveAsideDurably(const fs::path& clientFolder, const fs::path& from, const fs::path& to, FlushSite site) {
  EnsureInsideClient(clientFolder, from);
  EnsureInsideClient(clientFolder, to);
  FsCreateDirectories(to.parent_path());
  const DWORD result = MoveFileRetrying(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (result != ERROR_SUCCESS) {
    throw FileSystemError("remove", std::error_code(static_cast<int>(result), std::system_category()));
  }
  FlushStagedFile(to, site);
}

void RollBack(const fs::path& clientFolder, const fs::path& current, const UpdateManifest& manifest,
              const Journal& journal);

void Recover(const fs::path& clientFolder, Leftovers leftovers) {
  const fs::path current = TransactionDirectoryPath(clientFolder);
  EnsureInsideClient(clientFolder, current);
  const fs::file_status status = FsStatus(current);
  if (!fs::exists(status)) return;
  // Without a journal (none, or something other than a file in its place,
  // which the journal's move would have failed on) no client file was
  // touched. A file where the directory belongs holds nothing either.
  if (!fs::is_directory(status) || !fs::is_regular_file(FsStatus(current / "journal"))) {
    RemoveLeftovers(clientFolder, current, leftovers);
    return;
  }
  // A committed install was verified and its version saved before the
  // marker was written: it is complete. Files changed since then are left to
  // repair, which exists for that; refusing here would block every start.
  if (FsExists(current / "committed")) {
    RemoveLeftovers(clientFolder, current, leftovers);
    return;
  }
  const UpdateManifest manifest = LoadSignedManifest(current / "manifest", current / "signature");
  const std::vector<std::uint8_t> bytes = ReadBoundedFile(current / "journal", kMaxJournalBytes);
  const Journal journal =
      ParseJournal(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), manifest.files);
  RollBack(clientFolder, current, manifest, journal);
  // The journal goes first: once it is gone nothing is rolled back again,
  // and what remains is leftovers.
  RetireJournal(clientFolder, current);
  RemoveLeftovers(clientFolder, current, leftovers);
}

void RollBack(const fs::path& clientFolder, const fs::path& current, const UpdateManifest& manifest,
              const Journal& journal) {
  const fs::path backupRoot = current / "backup";
  const fs::path restoreRoot = current / "restore";
  constexpr char kDamaged[] = "Update backup is damaged; manual recovery required.";

  // The backup of a replaced file is the client file itself, moved under
  // backup/ by the install just before its new file took its place. Each
  // one is checked before the first client file changes: a backup that is
  // there must be what the journal recorded; where there is none, the
  // install never reached that file, which must then still be what the
  // journal recorded. A journal whose backups are copies (every one there)
  // is the first case throughout.
  std::vector<bool> backedUp(manifest.files.size(), false);
  for (std::size_t i = 0; i < manifest.files.size(); ++i) {
    const JournalEntry& entry = journal.entries[i];
    if (!entry.existed) continue;
    const fs::path backup = backupRoot / fs::path(manifest.files[i].path);
    EnsureInsideClient(clientFolder, backup);
    backedUp[i] = fs::exists(FsStatus(backup));
    const fs::path recorded = backedUp[i] ? backup : ClientPathFor(clientFolder, manifest.files[i]);
    if (!backedUp[i]) EnsureInsideClient(clientFolder, recorded);
    if (!FileMatches(recorded, entry.size, entry.digest)) throw std::runtime_error(kDamaged);
  }

  for (std::size_t i = 0; i < manifest.files.size(); ++i) {
    const ManifestFile& file = manifest.files[i];
    const JournalEntry& entry = journal.entries[i];
    const fs::path client = ClientPathFor(clientFolder, file);
    EnsureInsideClient(clientFolder, client);
    if (entry.existed) {
      if (!backedUp[i] || RecoveryStepSkipped(RecoveryStep::kRestoreBackups)) continue;
      // Moved back: once the move is on disk the backup is gone and the
      // client file is the recorded one, which the next attempt leaves.
      ReplaceClientFile(clientFolder, backupRoot / fs::path(file.path), client);
      // One flush after the move puts it on disk before the journal goes.
      FlushStagedFile(client, FlushSite::kRollback);
    } else {
      const fs::file_status status = FsStatus(client);
      if (!fs::exists(status)) continue;
      if (!fs::is_regular_file(status)) throw std::runtime_error("Unexpected update destination.");
      // Moved into the transaction directory (removed with it) rather than
      // deleted: a deletion cannot be flushed, and a power cut after the
      // journal has gone could otherwise bring the added file back.
      MoveAsideDurably(clientFolder, client, restoreRoot / fs::path(file.path), FlushSite::kMoveAside);
    }
  }
  // An install that failed at its own version save (a read-only Server.ini)
  // left the previous version in place. Writing it again would fail the same
  // way, and the client would stay locked in a recovery that can never end.
  const std::filesystem::path ini = clientFolder / "Server.ini";
  EnsureInsideClient(clientFolder, ini);
  if (calls::GetPrivateProfileIntW(L"Version", L"Files", 0, ini.c_str()) != journal.previousVersion) {
    SaveClientVersion(clientFolder, journal.previousVersion);
  }
}

}  // namespace

void RetireJournal(const fs::path& clientFolder, const fs::path& current) {
  if (!fs::is_regular_file(FsStatus(current / "journal"))) return;
  MoveAsideDurably(clientFolder, current / "journal", current / "journal.tmp", FlushSite::kJournalRetire);
}

void RecoverTransaction(const fs::path& clientFolder) { Recover(clientFolder, Leftovers::kMustGo); }

bool RecoverInterruptedUpdate(const fs::path& clientFolder, std::string& errorText) {
  try {
    // With no transaction directory there is nothing to recover and no lock
    // is needed, so a client folder that cannot be written still starts (its
    // updates report the folder instead). A transaction appearing meanwhile
    // belongs to whoever holds the lock.
    const fs::path current = TransactionDirectoryPath(clientFolder);
    EnsureInsideClient(clientFolder, current);
    if (!FsExists(current)) return true;
    UpdateLock lock(clientFolder);
    Recover(clientFolder, Leftovers::kMayStay);
    return true;
  } catch (const std::exception& error) {
    errorText = error.what();
    return false;
  }
}

void RecoverAfterFailure(const fs::path& clientFolder, std::string& errorText) {
  std::string recoveryError;
  if (!RecoverInterruptedUpdate(clientFolder, recoveryError)) errorText += " Recovery: " + recoveryError;
}

}  // namespace orvex_update
