// Crash recovery of an interrupted update transaction.
#pragma once

#include <filesystem>
#include <string>

#include "common/Errors.h"
#include "common/WinHandles.h"

namespace orvex_update {

// Finishes (committed) or rolls back (not committed) the transaction in
// .orvex-update/current, then removes it. The caller holds the update lock.
// Throws the message of the first failure and leaves the directory for the
// next attempt. Running it again after it succeeded does nothing.
void RecoverTransaction(const std::filesystem::path& clientFolder);

// RecoverTransaction under the update lock. True when there was nothing to do
// or recovery succeeded; false with failure set otherwise (a failed
// file-system call as kRecoveryFailedText). Never throws.
[[nodiscard]] bool RecoverInterruptedUpdate(const std::filesystem::path& clientFolder, fail::Failure& failure);
inline constexpr char kRecoveryFailedText[] = "Cannot recover the interrupted update.";

// After a failed update: RecoverInterruptedUpdate, and when that fails too,
// the update's failure becomes of kind kRecovery (its system code kept) and
// " Recovery: <the recovery's text>" follows its text, so the player reads
// both. Never throws.
void RecoverAfterFailure(const std::filesystem::path& clientFolder, fail::Failure& failure);

// Before anything else of a finished transaction is removed, its journal is
// moved to journal.tmp and flushed there, so that no power cut can leave the
// journal beside half-removed backups (which would roll back, or fail to roll
// back, a finished transaction). Does nothing without a journal file. A
// failure throws the file-system error of "remove".
void RetireJournal(const std::filesystem::path& clientFolder, const std::filesystem::path& current);

// The journal of the transaction directory current, opened for reading with
// read sharing alone: while the handle is open no other program can write,
// rename or remove it (scanners that quarantine or "repair" files), and
// neither can this process, so it is let go before the journal is retired.
// An invalid handle when the journal cannot be opened; nothing is held then.
win::UniqueFile HoldJournal(const std::filesystem::path& current);

// The record, beside the journal in the transaction directory, that the
// install moves each replaced client file aside as its backup instead of
// copying it. A journal without it was written by a launcher that copied the
// backups; launchers that know nothing of it read such a transaction as one
// of copies, which they restore only when every backup is there and as its
// journal line says, and otherwise refuse before any client file changes.
inline constexpr const wchar_t* kBackupSchemeFile = L"backup-scheme";

// Writes that record ("move\n") durably into the transaction directory
// current; the install does so before it writes the journal. Throws the
// messages of WriteDurableFile.
void RecordMovedBackups(const std::filesystem::path& current);

}  // namespace orvex_update
