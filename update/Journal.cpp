#include "Journal.h"

namespace orvex_update {

// Interim: the transactional installer that writes journals does not exist
// yet, so there is never a transaction to recover.
bool RecoverInterruptedUpdate(const std::filesystem::path&, std::string& errorText) {
  errorText.clear();
  return true;
}

}  // namespace orvex_update
