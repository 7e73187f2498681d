#include "update/StartupCheck.h"

#include "common/Windows.h"

#include <exception>
#include <string_view>

#include "Deployment.h"
#include "common/Errors.h"
#include "common/WinHandles.h"
#include "update/manifests/ClientManifest.h"
#include "update/disk/FileCalls.h"
#include "update/disk/Digest.h"
#include "update/Download.h"
#include "update/fetch/Https.h"
#include "update/disk/OrderedWork.h"
#include "update/disk/Paths.h"
#include "update/repair/Repair.h"

namespace orvex_update {
namespace {

constexpr std::string_view kClientLibraryName = "D3DX9_43.dll";
constexpr std::string_view kLauncherFolderPrefix = "ORVEX/Launcher/";

[[nodiscard]] bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The files the launcher itself needs before its window can open; everything
// else in the manifests is left to batch repair.
[[nodiscard]] bool IsLauncherFile(std::string_view name) {
  return EqualsIgnoringAsciiCase(name, kClientLibraryName) ||
         (name.size() >= kLauncherFolderPrefix.size() &&
          EqualsIgnoringAsciiCase(name.substr(0, kLauncherFolderPrefix.size()), kLauncherFolderPrefix));
}

[[nodiscard]] bool LauncherFileMatches(const std::filesystem::path& clientFolder, const StartupEntry& entry) {
  // A NUL inside a signed name would cut the wide path short and make the
  // check read another file than the one named, so such a name never passes.
  if (entry.name.find('\0') != std::string::npos) return false;
  // Launcher files use the narrow file-system code page, like the managed paths.
  const std::filesystem::path relative = PathFromNarrow(entry.name);
  if (relative.empty()) return false;
  const std::filesystem::path file = clientFolder / relative;
  win::UniqueFile handle = OpenFileRetrying(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  if (!handle) return false;
  Digest digest{};
  if (!Sha256OpenFile(handle.Get(), entry.size, digest)) return false;
  return digest == entry.digest;
}

std::uint64_t FileTimeValue(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

ManagedFileState StateOf(const WIN32_FILE_ATTRIBUTE_DATA& data) {
  ManagedFileState state;
  state.last_write_time = FileTimeValue(data.ftLastWriteTime);
  state.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  state.attributes = data.dwFileAttributes;
  return state;
}

ManagedFileState QueryState(const wchar_t* file) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!calls::GetFileAttributesExW(file, &data)) return {};
  return StateOf(data);
}

ManagedFileState QueryState(const std::filesystem::path& file) { return QueryState(file.c_str()); }

// Lists at least this long are queried on two threads. Under Wine an
// attribute query by name is answered inside the process, without a
// wineserver call, so a second core halves the time; for short lists the
// thread's start would cost more than it saves.
constexpr std::size_t kSplitQueriesFrom = 4096;

// states[i] for the path at starts[i] of paths.
void QueryFiles(const std::wstring& paths, const std::vector<std::size_t>& starts, ManagedFileState* states) {
  SplitInTwo(starts.size(), kSplitQueriesFrom, [&](std::size_t first, std::size_t end) {
    for (std::size_t i = first; i < end; ++i) states[i] = QueryState(paths.c_str() + starts[i]);
  });
}

void AddEntries(const std::filesystem::path& clientFolder, const std::vector<StartupEntry>& entries,
                ManagedFileSnapshot& snapshot) {
  for (const StartupEntry& entry : entries) {
    std::filesystem::path relative;
    try {
      relative = std::filesystem::path(WidenUtf8(entry.name));
    } catch (const std::exception&) {
      continue;  // not strict UTF-8: batch repair refuses it anyway
    }
    snapshot[relative] = QueryState(clientFolder / relative);
  }
}

}  // namespace

bool QuickStartupCheck(const std::filesystem::path& clientFolder) {
  try {
    StartupManifest entries;
    if (!ReadStartupManifest(StartupManifestPath(clientFolder), entries)) return false;
    for (const StartupEntry& entry : entries) {
      if (IsLauncherFile(entry.name) && !LauncherFileMatches(clientFolder, entry)) return false;
    }
    return true;
  } catch (const std::exception&) {
    return false;  // allocation failure while joining paths: treat as not intact
  }
}

bool StartupCheckAndRepair(const std::filesystem::path& clientFolder, unsigned installedVersion,
                           std::string& errorText, const StatusCallback& status, const ProgressCallback& progress,
                           const BeforeInstallCallback& beforeInstall) {
  errorText.clear();
  try {
    if (!ClientManifestsValid(clientFolder)) {
      // The two manifests travel as an ordinary signed update that leaves the
      // version where it is; the update lock is taken inside, and let go
      // before batch repair takes it again.
      const std::string manifestName = "metadata-v4-" + std::to_string(installedVersion) + ".manifest";
      fail::Failure failure;
      if (!DownloadSignedUpdate(clientFolder, orvex_deploy::kPatchCdnUrl, manifestName, installedVersion,
                                installedVersion, failure, true, status, progress)) {
        errorText = failure.text;
        return false;
      }
    }
    return RepairManagedFiles(clientFolder, installedVersion, status, errorText, progress, beforeInstall);
  } catch (const std::exception& error) {
    errorText = fail::FailureOf(error, kRepairFailedText).text;
    return false;
  }
}

ManagedFileSnapshot SnapshotManagedFiles(const std::filesystem::path& clientFolder) {
  ManagedFileSnapshot snapshot;
  try {
    snapshot[std::filesystem::path(L"ORVEX/Startup.manifest")] = QueryState(StartupManifestPath(clientFolder));
    snapshot[std::filesystem::path(L"ORVEX/Integrity.manifest")] = QueryState(IntegrityManifestPath(clientFolder));
    StartupManifest startup;
    IntegrityManifest integrity;
    if (!ReadStartupManifest(StartupManifestPath(clientFolder), startup) ||
        !ReadIntegrityManifest(IntegrityManifestPath(clientFolder), integrity)) {
      return snapshot;
    }
    AddEntries(clientFolder, startup, snapshot);
    AddEntries(clientFolder, integrity.entries, snapshot);
  } catch (const std::exception&) {
    // Only allocation can throw here; what was gathered still tells changes apart.
  }
  return snapshot;
}

std::vector<ManagedFileState> ManagedFileWatch::Query(const std::filesystem::path& clientFolder) {
  std::vector<ManagedFileState> states;
  try {
    const auto key = [](const std::filesystem::path& manifest) {
      ManifestKey key;
      WIN32_FILE_ATTRIBUTE_DATA data{};
      if (calls::GetFileAttributesExW(manifest.c_str(), &data)) {
        key.state = StateOf(data);
        key.creation_time = FileTimeValue(data.ftCreationTime);
      }
      return key;
    };
    const std::filesystem::path startupPath = StartupManifestPath(clientFolder);
    const std::filesystem::path integrityPath = IntegrityManifestPath(clientFolder);
    const ManifestKey startupKey = key(startupPath);
    const ManifestKey integrityKey = key(integrityPath);
    if (!listed_ || startupKey != startup_ || integrityKey != integrity_ || clientFolder != client_) {
      // A list that failed to read is never kept: the next call reads again.
      listed_ = false;
      paths_.clear();
      starts_.clear();
      client_ = clientFolder;
      startup_ = startupKey;
      integrity_ = integrityKey;
      StartupManifest startup;
      IntegrityManifest integrity;
      if (ReadStartupManifest(startupPath, startup) && ReadIntegrityManifest(integrityPath, integrity)) {
        for (const std::vector<StartupEntry>* entries : {&startup, &integrity.entries}) {
          for (const StartupEntry& entry : *entries) {
            std::filesystem::path relative;
            try {
              relative = std::filesystem::path(WidenUtf8(entry.name));
            } catch (const std::exception&) {
              continue;  // skipped by the snapshot as well
            }
            starts_.push_back(paths_.size());
            paths_ += (clientFolder / relative).native();
            paths_ += L'\0';
          }
        }
        listed_ = true;
      }
    }
    states.resize(2 + starts_.size());
    states[0] = startupKey.state;
    states[1] = integrityKey.state;
    QueryFiles(paths_, starts_, states.data() + 2);
  } catch (const std::exception&) {
    // Allocation only; the next call starts over.
    listed_ = false;
  }
  return states;
}

}  // namespace orvex_update
