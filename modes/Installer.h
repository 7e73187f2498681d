// Offline installer run mode (the executable named PatchKur.exe).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace modes {

// Installs ORVEX/Patch/2384.{manifest,manifest.sig,zip} into the client folder
// two levels up, writes the connection settings and reports the result in a
// message box or, unattended, in kurulum-sonucu.log. Returns the exit code.
[[nodiscard]] int RunInstallerMode(const std::wstring& executablePath, bool unattended);

// Installs one local signed patch under the update lock, after recovering any
// interrupted update. False with errorText set (and the install rolled back)
// on failure. Never throws.
[[nodiscard]] bool InstallLocalPatch(const std::filesystem::path& clientFolder, const std::filesystem::path& manifest,
                                     const std::filesystem::path& signature, const std::filesystem::path& archive,
                                     std::uint32_t targetVersion, std::uint32_t installedVersion, bool allowSameVersion,
                                     std::string& errorText);

// Writes the connection settings (server count and address, patch base URL)
// into the client folder's Server.ini, keeping every other setting, under the
// update lock. False when they could not be saved. Never throws.
[[nodiscard]] bool SaveConnectionSettings(const std::filesystem::path& clientFolder);

}  // namespace modes
