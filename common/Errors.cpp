#include "common/Errors.h"

#include <cstdio>

namespace fail {

void Throw(const std::string& playerText, unsigned long systemCode) { throw Error(playerText, systemCode); }

void ThrowNamingDisk(const std::string& playerText, unsigned long systemCode) {
  if (!IsDiskFull(systemCode)) throw Error(playerText, systemCode);
  const std::string stem =
      !playerText.empty() && playerText.back() == '.' ? playerText.substr(0, playerText.size() - 1) : playerText;
  throw Error(stem + "; check disk space.", systemCode);
}

void Log(const char* message, const char* sourceName, int line) {
  std::printf("ERROR-> %s\n%s: %d\n\n", message ? message : "", sourceName ? sourceName : "", line);
  // A GUI process's stdout is usually a pipe or nothing at all; flush so a
  // test harness that captures it sees the line even if we crash later.
  std::fflush(stdout);
}

}  // namespace fail
