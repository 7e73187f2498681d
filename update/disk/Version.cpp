#include "update/disk/FileCalls.h"
#include "update/disk/Version.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "common/Errors.h"
#include "update/disk/FileWork.h"
#include "update/disk/Paths.h"

namespace orvex_update {
namespace {

constexpr std::uint64_t kMaxSettingsBytes = 16777216;

// A copy of Server.ini as it is now (empty when there is none yet). Returns
// ERROR_SUCCESS, or the system code of the failure.
[[nodiscard]] DWORD CopySettings(const std::filesystem::path& ini, const std::filesystem::path& copy) {
  const std::vector<std::uint8_t> bytes =
      FsExists(ini) ? ReadBoundedFile(ini, kMaxSettingsBytes) : std::vector<std::uint8_t>();
  const win::UniqueFile file = OpenFileRetrying(copy, GENERIC_WRITE, 0, CREATE_ALWAYS);
  if (!file) return ::GetLastError();
  ::SetLastError(ERROR_WRITE_FAULT);  // stays for a write that takes nothing and says nothing
  return WriteAll(file.Get(), bytes.data(), bytes.size()) ? ERROR_SUCCESS : ::GetLastError();
}

}  // namespace

void RewriteSettings(const std::filesystem::path& clientFolder, const std::vector<SettingsValue>& values,
                     FlushSite copySite, FlushSite moveSite, const char* failure) {
  const std::filesystem::path ini = clientFolder / "Server.ini";
  EnsureInsideClient(clientFolder, ini);
  // The profile functions rewrite a file in place, emptying it first: a power
  // cut in between would lose every setting. The keys are written into a copy
  // in the update area, the copy is flushed and moved over Server.ini, and
  // the moved file is flushed, which puts the move on disk where
  // MOVEFILE_WRITE_THROUGH is not honoured (Wine).
  const std::filesystem::path area = UpdateAreaPath(clientFolder);
  const std::filesystem::path copy = area / "Server.ini.tmp";
  EnsureInsideClient(clientFolder, copy);
  FsCreateDirectories(area);
  // A full disk is named in the text: the player has to free space, and
  // nothing else will make the next attempt succeed.
  if (const DWORD copied = CopySettings(ini, copy); copied != ERROR_SUCCESS) {
    fail::ThrowNamingDisk(fail::FileKind(copied), failure, copied);
  }
  for (const SettingsValue& value : values) {
    if (!calls::WritePrivateProfileStringW(value.section, value.key, value.value.c_str(), copy.c_str())) {
      fail::ThrowNamingDisk(fail::Kind::kDisk, failure, ::GetLastError());
    }
  }
  // All-null arguments flush the profile cache of this file, so that the
  // bytes are on disk before they are flushed and moved; a failure shows in
  // the flush.
  static_cast<void>(calls::WritePrivateProfileStringW(nullptr, nullptr, nullptr, copy.c_str()));
  FlushStagedFile(copy, copySite);
  // A read-only Server.ini refuses the move, as it refused the profile write.
  const DWORD moved = MoveFileRetrying(copy, ini, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (moved != ERROR_SUCCESS) fail::Throw(fail::FileKind(moved), failure, moved);
  FlushStagedFile(ini, moveSite);
}

void SaveClientVersion(const std::filesystem::path& clientFolder, std::uint32_t version) {
  RewriteSettings(clientFolder, {{L"Version", L"Files", std::to_wstring(version)}}, FlushSite::kVersionCopy,
                  FlushSite::kVersionMove, "Cannot save client version.");
  const std::filesystem::path ini = clientFolder / "Server.ini";
  if (calls::GetPrivateProfileIntW(L"Version", L"Files", 0, ini.c_str()) != version) {
    fail::Throw(fail::Kind::kDisk, "Saved client version did not verify.");
  }
}

}  // namespace orvex_update
