#include "modes/Installer.h"

#include <windows.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

#include "Deployment.h"
#include "common/Errors.h"
#include "update/apply/Install.h"
#include "update/apply/Journal.h"
#include "update/disk/FileCalls.h"
#include "update/disk/Paths.h"
#include "update/disk/Version.h"

namespace modes {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kPatchVersion = 2384;
constexpr char kLocationText[] =
    "Patch.zip dosyasini mevcut ORVEX 2369 client klasorune cikarin, sonra PATCH_KUR.cmd dosyasini acin.";
constexpr char kSuccessText[] = "ORVEX yamasi kuruldu. Simdi Launcher.exe ile oyunu acabilirsiniz.";
constexpr char kSettingsText[] = "Dosyalar kuruldu ancak Server.ini baglanti ayarlari kaydedilemedi.";

[[nodiscard]] bool SameNameIgnoringCase(const fs::path& path, const wchar_t* name) {
  return ::lstrcmpiW(path.filename().c_str(), name) == 0;
}

[[nodiscard]] int Report(const fs::path& patchFolder, bool unattended, int code, const std::string& text) {
  if (unattended) {
    // The line ends in CR LF, as a Windows log should.
    const std::string line = text + "\r\n";
    const win::UniqueFile log(orvex_update::calls::CreateFileW((patchFolder / L"kurulum-sonucu.log").c_str(),
                                                               GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS,
                                                               FILE_ATTRIBUTE_NORMAL));
    DWORD written = 0;
    // The log is a courtesy: the exit code reports the result either way.
    if (log)
      static_cast<void>(
          orvex_update::calls::WriteFile(log.Get(), line.data(), static_cast<DWORD>(line.size()), &written));
  } else {
    ::MessageBoxA(nullptr, text.c_str(), "ORVEX Patch", MB_OK | (code == 0 ? MB_ICONINFORMATION : MB_ICONERROR));
  }
  return code;
}

// Any file-system error while looking counts as a wrong location: nothing is changed.
[[nodiscard]] bool RightLocation(const fs::path& patchFolder, const fs::path& middleFolder, const fs::path& clientFolder) {
  // Attributes follow links, as the standard is_regular_file and is_directory do.
  const auto is = [](const fs::path& path, bool folder) {
    const DWORD attributes = orvex_update::calls::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == folder;
  };
  return SameNameIgnoringCase(patchFolder, L"Patch") && SameNameIgnoringCase(middleFolder, L"ORVEX") &&
         is(clientFolder / L"Vantrell.exe", false) && is(clientFolder / L"Data", true);
}

}  // namespace

bool InstallLocalPatch(const fs::path& clientFolder, const fs::path& manifest, const fs::path& signature,
                       const fs::path& archive, std::uint32_t targetVersion, std::uint32_t installedVersion,
                       bool allowSameVersion, std::string& errorText) {
  try {
    orvex_update::UpdateLock lock(clientFolder);
    orvex_update::RecoverTransaction(clientFolder);
    orvex_update::InstallUpdate(clientFolder,
                                {manifest, signature, archive, targetVersion, installedVersion, allowSameVersion}, {});
    return true;
  } catch (const std::exception& error) {
    fail::Failure failure = fail::FailureOf(error, orvex_update::kUpdateFailedText);
    orvex_update::RecoverAfterFailure(clientFolder, failure);
    errorText = failure.text;
  }
  return false;
}

bool SaveConnectionSettings(const fs::path& clientFolder) {
  try {
    // Under the lock, as every other change of the client folder.
    orvex_update::UpdateLock lock(clientFolder);
    orvex_update::RewriteSettings(clientFolder,
                                  {{L"Server", L"Count", L"1"},
                                   {L"Server", L"IP0", fs::path(orvex_deploy::kLoginHost).native()},
                                   {L"ORVEX_UPDATE", L"BaseURL", fs::path(orvex_deploy::kPatchCdnUrl).native()}},
                                  orvex_update::FlushSite::kSettingsCopy, orvex_update::FlushSite::kSettingsMove,
                                  kSettingsText);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

int RunInstallerMode(const std::wstring& executablePath, bool unattended) {
  const fs::path patchFolder = fs::path(executablePath).parent_path();
  const fs::path middleFolder = patchFolder.parent_path();
  const fs::path clientFolder = middleFolder.parent_path();
  if (!RightLocation(patchFolder, middleFolder, clientFolder)) {
    return Report(patchFolder, unattended, 1, kLocationText);
  }
  const fs::path ini = clientFolder / L"Server.ini";
  const auto installed = static_cast<std::uint32_t>(orvex_update::calls::GetPrivateProfileIntW(L"Version", L"Files", 1, ini.c_str()));
  std::string errorText;
  if (!InstallLocalPatch(clientFolder, patchFolder / L"2384.manifest", patchFolder / L"2384.manifest.sig",
                         patchFolder / L"2384.zip", kPatchVersion, installed, true, errorText)) {
    return Report(patchFolder, unattended, 1, errorText);
  }
  const bool saved = SaveConnectionSettings(clientFolder);
  return Report(patchFolder, unattended, saved ? 0 : 1, saved ? kSuccessText : kSettingsText);
}

}  // namespace modes
