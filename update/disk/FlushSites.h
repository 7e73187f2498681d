// The named places where the update engine, the launcher swap and the
// offline installer flush a file to disk so that a power cut cannot undo what
// comes after. Every such flush goes through FlushAt (update/disk/FileWork.h) with
// its site, and a test can skip one site (ScopedSkipFlushSiteForTesting beside
// FlushAt) to show that the crash-state checker notices it missing
// (tests/durability).
//
// A new site is one line in the list below: its enumerator and the name the
// tests know it by. Flushes that only move disk writes earlier (FlushBehind)
// or that check a download's write-back before its digest is checked are no
// sites: no crash state depends on them.
#pragma once

#include <cstddef>
#include <string_view>

namespace orvex_update {

#define ORVEX_FLUSH_SITES(SITE)                                                                 \
  /* install: the transaction directory, in the order the install writes it */                \
  SITE(kManifestCopy, "manifest-copy")   /* the signed manifest copied for the recovery */    \
  SITE(kSignatureCopy, "signature-copy") /* its signature */                                  \
  SITE(kJournal, "journal")              /* journal.tmp before it becomes the journal */      \
  SITE(kJournalMove, "journal-move")     /* the journal at its name */                        \
  SITE(kBackupMove, "backup-move")       /* each replaced client file after its move aside */ \
  SITE(kStaged, "staged")                /* each installed file after its move */             \
  SITE(kCommitted, "committed")          /* the commit marker */                              \
  SITE(kJournalRetire, "journal-retire") /* the journal moved aside once it is done with */   \
  /* recovery */                                                                              \
  SITE(kRollback, "rollback")            /* a restored client file after its move */          \
  SITE(kMoveAside, "move-aside")         /* an added file moved into the transaction */       \
  /* version save */                                                                          \
  SITE(kVersionCopy, "version-copy")     /* the edited copy of Server.ini */                  \
  SITE(kVersionMove, "version-move")     /* Server.ini after the copy's move */               \
  /* batch repair */                                                                          \
  SITE(kRepairStaged, "repair-staged")   /* a verified object cut out of the batch */         \
  SITE(kRepairCopy, "repair-copy")       /* its copy for a second destination */              \
  SITE(kRepairMove, "repair-move")       /* each repaired file after its move */              \
  /* offline installer: the connection settings */                                            \
  SITE(kSettingsCopy, "settings-copy")   /* the edited copy of Server.ini */                  \
  SITE(kSettingsMove, "settings-move")   /* Server.ini after the copy's move */               \
  /* launcher swap */                                                                         \
  SITE(kSwapStage, "swap-stage")         /* Launcher2.exe's copy before its move */           \
  SITE(kSwapBackup, "swap-backup")       /* Launcher.previous.exe */                          \
  SITE(kSwapReplace, "swap-replace")     /* Launcher.exe after the move */                    \
  SITE(kSwapRestore, "swap-restore")     /* the previous launcher's copy before its move */   \
  SITE(kSwapRestoreMove, "swap-restore-move") /* Launcher.exe after that move */

enum class FlushSite {
#define ORVEX_FLUSH_SITE_ENUM(id, name) id,
  ORVEX_FLUSH_SITES(ORVEX_FLUSH_SITE_ENUM)
#undef ORVEX_FLUSH_SITE_ENUM
};

inline constexpr std::string_view kFlushSiteNames[] = {
#define ORVEX_FLUSH_SITE_NAME(id, name) name,
    ORVEX_FLUSH_SITES(ORVEX_FLUSH_SITE_NAME)
#undef ORVEX_FLUSH_SITE_NAME
};

inline constexpr std::size_t kFlushSiteCount = sizeof kFlushSiteNames / sizeof kFlushSiteNames[0];

constexpr std::string_view FlushSiteName(FlushSite site) { return kFlushSiteNames[static_cast<std::size_t>(site)]; }

// The site of a name; false for a name that is no site.
[[nodiscard]] constexpr bool FlushSiteByName(std::string_view name, FlushSite& site) {
  for (std::size_t i = 0; i < kFlushSiteCount; ++i) {
    if (kFlushSiteNames[i] == name) {
      site = static_cast<FlushSite>(i);
      return true;
    }
  }
  return false;
}

}  // namespace orvex_update
