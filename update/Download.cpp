#include "Download.h"

namespace orvex_update {

// Interim: signed patch download and installation are not built yet.
bool DownloadSignedUpdate(const std::filesystem::path&, const std::string&, const std::string&, std::uint32_t,
                          std::uint32_t, std::string& errorText, bool, const StatusCallback&,
                          const ProgressCallback&) {
  errorText = "Patch installation is not available in this build.";
  return false;
}

}  // namespace orvex_update
