// The installed client version, key Files of [Version] in Server.ini.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "update/disk/FlushSites.h"

namespace orvex_update {

// Writes the version into the client folder's Server.ini, flushes the file to
// disk and reads it back. Throws "Cannot save client version." (ending in
// "; check disk space." instead when the disk is full), "Saved client
// version did not verify." or the flush and containment errors.
void SaveClientVersion(const std::filesystem::path& clientFolder, std::uint32_t version);

// One key of Server.ini and the value it gets.
struct SettingsValue {
  const wchar_t* section;
  const wchar_t* key;
  std::wstring value;
};

// Sets the values in the client folder's Server.ini without ever leaving it
// partly written: an edited copy in the update area is flushed at copySite,
// moved over the file and flushed again at moveSite. Throws failure when the
// copy cannot be made or edited or the move is refused (named after the disk,
// as fail::ThrowNamingDisk does, when the disk is full), or the flush and
// containment errors.
void RewriteSettings(const std::filesystem::path& clientFolder, const std::vector<SettingsValue>& values,
                     FlushSite copySite, FlushSite moveSite, const char* failure);

}  // namespace orvex_update
