// Update journal and crash recovery.
#pragma once

#include <filesystem>
#include <string>

namespace orvex_update {

// Finishes or rolls back an interrupted update of the client folder under the
// update lock. True when there was nothing to do or recovery succeeded; false
// with errorText set otherwise. Never throws.
bool RecoverInterruptedUpdate(const std::filesystem::path& clientFolder, std::string& errorText);

}  // namespace orvex_update
