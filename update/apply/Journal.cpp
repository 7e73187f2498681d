#include "update/apply/Journal.h"

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include "common/Errors.h"
#include "update/apply/Checkpoints.h"
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

// How the install kept the client files it replaced. An install that moves
// each one aside (its backup is the file itself) records that beside the
// journal before the journal exists; a journal without the record was
// written by a launcher that copied them into the backup first.
enum class BackupScheme { kCopies, kMoves };

BackupScheme SchemeOf(const fs::path& current) {
  return fs::is_regular_file(FsStatus(current / kBackupSchemeFile)) ? BackupScheme::kMoves : BackupScheme::kCopies;
}

fs::path BackupPath(const fs::path& current, const ManifestFile& file) { return current / "backup" / fs::path(file.path); }

// Which entries have a backup to restore. Copies were all made before the
// journal, so each one must be there and be what the journal recorded; one
// that is not means the transaction itself lost the old bytes, and nothing
// is changed. A moved backup is the client file as it stood, whatever
// another program did to it since it was hashed, so it goes back as it is;
// where there is none, the install never moved that file, and the file is
// left as it is (missing or changed by someone else, the start-up check
// and repair put it right).
std::vector<bool> BackupsToRestore(const fs::path& clientFolder, const fs::path& current,
                                   const UpdateManifest& manifest, const Journal& journal, BackupScheme scheme) {
  std::vector<bool> restore(manifest.files.size(), false);
  for (std::size_t i = 0; i < manifest.files.size(); ++i) {
    const JournalEntry& entry = journal.entries[i];
    if (!entry.existed) continue;
    const fs::path backup = BackupPath(current, manifest.files[i]);
    EnsureInsideClient(clientFolder, backup);
    if (scheme == BackupScheme::kCopies) {
      if (!FileMatches(backup, entry.size, entry.digest)) {
        fail::Throw(fail::Kind::kIntegrity, "Update backup is damaged; manual recovery required.");
      }
      restore[i] = true;
    } else {
      restore[i] = fs::is_regular_file(FsStatus(backup));
    }
  }
  return restore;
}

// Puts back what the journal recorded: the backups marked in restore, the
// files the install added moved out, and the previous version.
void RollBack(const fs::path& clientFolder, const fs::path& current, const UpdateManifest& manifest,
              const Journal& journal, const std::vector<bool>& restore) {
  for (std::size_t i = 0; i < manifest.files.size(); ++i) {
    if (i == manifest.files.size() / 2) Checkpoint("recover-restore-half");
    const ManifestFile& file = manifest.files[i];
    const JournalEntry& entry = journal.entries[i];
    const fs::path client = ClientPathFor(clientFolder, file);
    EnsureInsideClient(clientFolder, client);
    if (entry.existed) {
      if (!restore[i] || RecoveryStepSkipped(RecoveryStep::kRestoreBackups)) continue;
      // Moved back: once the move is on disk the backup is gone and the
      // client file is the recorded one, which the next attempt leaves.
      ReplaceClientFile(clientFolder, BackupPath(current, file), client);
      // One flush after the move puts it on disk before the journal goes.
      FlushStagedFile(client, FlushSite::kRollback);
    } else {
      const fs::file_status status = FsStatus(client);
      if (!fs::exists(status)) continue;
      if (!fs::is_regular_file(status)) fail::Throw(fail::Kind::kIntegrity, "Unexpected update destination.");
      // Moved into the transaction directory (removed with it) rather than
      // deleted: a deletion cannot be flushed, and a power cut after the
      // journal has gone could otherwise bring the added file back. It goes
      // back where it was staged, whose folders are there already: a disk
      // out of file entries has none to give to new ones.
      MoveAsideDurably(clientFolder, client, current / "files" / fs::path(file.path), FlushSite::kMoveAside);
    }
  }
  Checkpoint("recover-restored");
  // An install that failed at its own version save (a read-only Server.ini)
  // left the previous version in place. Writing it again would fail the same
  // way, and the client would stay locked in a recovery that can never end.
  const std::filesystem::path ini = clientFolder / "Server.ini";
  EnsureInsideClient(clientFolder, ini);
  if (calls::GetPrivateProfileIntW(L"Version", L"Files", 0, ini.c_str()) != journal.previousVersion) {
    SaveClientVersion(clientFolder, journal.previousVersion);
  }
}

Journal LoadJournal(const fs::path& current, const UpdateManifest& manifest) {
  const std::vector<std::uint8_t> bytes = ReadBoundedFile(current / "journal", kMaxJournalBytes);
  return ParseJournal(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), manifest.files);
}

// A committed install was verified and its version saved before the marker
// was written. Its backups are the only old copies of what it replaced, so
// they go only once every installed file is still what the manifest names.
// When one is not (another program changed it since), the old client comes
// back whole from backups that are all there and all as recorded, and the
// next download installs the update again; without such backups the new
// client stays and the start-up check repairs the file. Neither refuses the
// start.
void FinishCommitted(const fs::path& clientFolder, const fs::path& current, Leftovers leftovers,
                     win::UniqueFile& journalHold) {
  std::optional<UpdateManifest> manifest;
  std::optional<Journal> journal;
  try {
    manifest = LoadSignedManifest(current / "manifest", current / "signature");
    journal = LoadJournal(current, *manifest);
  } catch (const std::exception&) {
    // Nothing to verify against or restore from: the update stands.
    journalHold.Reset();
    RemoveLeftovers(clientFolder, current, leftovers);
    return;
  }
  bool intact = true;
  bool backupsWhole = true;
  for (std::size_t i = 0; i < manifest->files.size(); ++i) {
    const ManifestFile& file = manifest->files[i];
    const fs::path client = ClientPathFor(clientFolder, file);
    EnsureInsideClient(clientFolder, client);
    if (intact && !FileMatches(client, file)) intact = false;
  }
  if (intact) {
    journalHold.Reset();
    RemoveLeftovers(clientFolder, current, leftovers);
    return;
  }
  for (std::size_t i = 0; i < manifest->files.size() && backupsWhole; ++i) {
    const JournalEntry& entry = journal->entries[i];
    if (!entry.existed) continue;
    const fs::path backup = BackupPath(current, manifest->files[i]);
    EnsureInsideClient(clientFolder, backup);
    backupsWhole = FileMatches(backup, entry.size, entry.digest);
  }
  if (!backupsWhole) {
    journalHold.Reset();
    RemoveLeftovers(clientFolder, current, leftovers);
    return;
  }
  // The commit is withdrawn first, so that a power cut in the middle of the
  // rollback leaves an uncommitted transaction, which is rolled back again.
  MoveAsideDurably(clientFolder, current / "committed", current / "committed.withdrawn", FlushSite::kMoveAside);
  RollBack(clientFolder, current, *manifest, *journal, std::vector<bool>(manifest->files.size(), true));
  journalHold.Reset();
  RetireJournal(clientFolder, current);
  RemoveLeftovers(clientFolder, current, leftovers);
}

// Whether the install committed: the marker holds what the install wrote
// into it. One that is there but empty or cut short was never completely
// written (its write or its flush failed, and the install reported the
// failure), so the transaction is rolled back, as an install that failed
// there must be; one that cannot be read is taken the same way, which
// brings back the old client whole.
[[nodiscard]] bool IsCommitted(const fs::path& current) {
  const fs::path marker = current / "committed";
  if (!fs::is_regular_file(FsStatus(marker))) return false;
  try {
    const std::vector<std::uint8_t> bytes = ReadBoundedFile(marker, 16);
    return bytes.size() == 2 && bytes[0] == '1' && bytes[1] == '\n';
  } catch (const std::exception&) {
    return false;
  }
}

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
  // Until the journal is retired, no other program writes, renames or
  // removes it: a transaction without its journal would be taken for one
  // that never touched a client file.
  win::UniqueFile journalHold = HoldJournal(current);
  if (IsCommitted(current)) {
    FinishCommitted(clientFolder, current, leftovers, journalHold);
    return;
  }
  const UpdateManifest manifest = LoadSignedManifest(current / "manifest", current / "signature");
  const Journal journal = LoadJournal(current, manifest);
  // Every backup is looked at before the first client file changes.
  const std::vector<bool> restore = BackupsToRestore(clientFolder, current, manifest, journal, SchemeOf(current));
  Checkpoint("recover-checked");
  RollBack(clientFolder, current, manifest, journal, restore);
  // The journal goes first: once it is gone nothing is rolled back again,
  // and what remains is leftovers.
  journalHold.Reset();
  RetireJournal(clientFolder, current);
  RemoveLeftovers(clientFolder, current, leftovers);
}

}  // namespace

void RetireJournal(const fs::path& clientFolder, const fs::path& current) {
  if (!fs::is_regular_file(FsStatus(current / "journal"))) return;
  MoveAsideDurably(clientFolder, current / "journal", current / "journal.tmp", FlushSite::kJournalRetire);
}

win::UniqueFile HoldJournal(const fs::path& current) {
  return OpenFileRetrying(current / "journal", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
}

void RecordMovedBackups(const fs::path& current) {
  WriteDurableFile(current / kBackupSchemeFile, std::string_view("move\n"), FlushSite::kJournal);
}

void RecoverTransaction(const fs::path& clientFolder) { Recover(clientFolder, Leftovers::kMustGo); }

bool RecoverInterruptedUpdate(const fs::path& clientFolder, fail::Failure& failure) {
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
    failure = fail::FailureOf(error, kRecoveryFailedText);
    return false;
  }
}

void RecoverAfterFailure(const fs::path& clientFolder, fail::Failure& failure) {
  fail::Failure recovery;
  if (RecoverInterruptedUpdate(clientFolder, recovery)) return;
  failure.kind = fail::Kind::kRecovery;
  failure.text += " Recovery: " + recovery.text;
}

}  // namespace orvex_update
