// The installed client version, key Files of [Version] in Server.ini.
#pragma once

#include <cstdint>
#include <filesystem>

namespace orvex_update {

// Writes the version into the client folder's Server.ini, flushes the file to
// disk and reads it back. Throws "Cannot save client version.", "Saved client
// version did not verify." or the flush and containment errors.
void SaveClientVersion(const std::filesystem::path& clientFolder, std::uint32_t version);

}  // namespace orvex_update
