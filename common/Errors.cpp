#include "common/Errors.h"

#include <cstdio>
#include <system_error>

namespace fail {

void Throw(Kind kind, const std::string& playerText, unsigned long systemCode) {
  throw Error(kind, playerText, systemCode);
}

std::string NamingDisk(const std::string& playerText, unsigned long systemCode) {
  if (!IsDiskFull(systemCode)) return playerText;
  const std::string stem =
      !playerText.empty() && playerText.back() == '.' ? playerText.substr(0, playerText.size() - 1) : playerText;
  return stem + "; check disk space.";
}

void ThrowNamingDisk(Kind kind, const std::string& playerText, unsigned long systemCode) {
  throw Error(IsDiskFull(systemCode) ? Kind::kDisk : kind, NamingDisk(playerText, systemCode), systemCode);
}

Failure FailureOf(const std::exception& error, const std::string& operationText) {
  if (const auto* failure = dynamic_cast<const Error*>(&error)) {
    if (failure->ForPlayer()) return {failure->GetKind(), failure->what(), failure->SystemCode()};
    return {failure->GetKind(), NamingDisk(operationText, failure->SystemCode()), failure->SystemCode()};
  }
  const auto* system = dynamic_cast<const std::system_error*>(&error);
  if (system && system->code().category() == std::system_category()) {
    const auto code = static_cast<unsigned long>(system->code().value());
    return {FileKind(code), NamingDisk(operationText, code), code};
  }
  return {Kind::kInternal, operationText, 0};
}

void Log(const char* message, const char* sourceName, int line) {
  std::printf("ERROR-> %s\n%s: %d\n\n", message ? message : "", sourceName ? sourceName : "", line);
  // A GUI process's stdout is usually a pipe or nothing at all; flush so a
  // test harness that captures it sees the line even if we crash later.
  std::fflush(stdout);
}

}  // namespace fail
