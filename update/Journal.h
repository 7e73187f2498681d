// Crash recovery of an interrupted update transaction.
#pragma once

#include <filesystem>
#include <string>

namespace orvex_update {

// Finishes (committed) or rolls back (not committed) the transaction in
// .orvex-update/current, then removes it. The caller holds the update lock.
// Throws the message of the first failure and leaves the directory for the
// next attempt. Running it again after it succeeded does nothing.
void RecoverTransaction(const std::filesystem::path& clientFolder);

// RecoverTransaction under the update lock. True when there was nothing to do
// or recovery succeeded; false with errorText set otherwise. Never throws.
bool RecoverInterruptedUpdate(const std::filesystem::path& clientFolder, std::string& errorText);

}  // namespace orvex_update
