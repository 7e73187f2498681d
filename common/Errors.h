// How the launcher fails, in one place: the throw helper, the catch at the
// edges (a thread's entry, the window procedure), the one log, and the
// scope-exit that runs clean-up however a scope ends. Portable.
//
// A failure is data: fail::Error carries its kind, the player's text (its
// what(), exactly as shown) and the system's error code (GetLastError, a
// Winsock or WinHTTP code), which never goes into the text. What to do about
// a failure (retry it, name the disk) is decided on the kind and the code,
// never on the text, so rewording a text changes nothing else. Nothing
// throws out of a thread's entry or the window procedure: CatchAtEdge turns
// what escapes into a text there.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace fail {

// What went wrong, as far as anything decides on it.
enum class Kind {
  kNetwork,    // the connection failed, dropped or timed out, or the server is unavailable for now (5xx)
  kRefused,    // the server refused the request (4xx) or answered what cannot be used
  kIntegrity,  // signed or downloaded data, or the update's own records, failed their checks
  kDisk,       // the client folder's volume or files could not be read or written
  kLocked,     // another program (or another launcher) holds what the step needs
  kCancelled,  // the launcher is closing
  kRecovery,   // a step failed and rolling it back failed too
  kUsage,      // the launcher was asked for what it cannot do (its address, a file, an argument)
  kInternal,   // the platform failed beneath us (a hash or key provider, memory)
};

class Error : public std::runtime_error {
 public:
  Error(Kind kind, const std::string& playerText, unsigned long systemCode = 0)
      : std::runtime_error(playerText), kind_(kind), systemCode_(systemCode) {}
  Kind GetKind() const noexcept { return kind_; }
  // 0 when the failure has no system error behind it.
  unsigned long SystemCode() const noexcept { return systemCode_; }
  // False for an error whose what() names a low-level call ("remove: ...")
  // rather than a step: the edge that reports it gives its own text instead.
  [[nodiscard]] bool ForPlayer() const noexcept { return forPlayer_; }

 protected:
  Error(Kind kind, const std::string& detail, unsigned long systemCode, bool forPlayer)
      : std::runtime_error(detail), kind_(kind), systemCode_(systemCode), forPlayer_(forPlayer) {}

 private:
  Kind kind_;
  unsigned long systemCode_;
  bool forPlayer_ = true;
};

// A failure as a value, where a top-level operation reports one instead of
// throwing it.
struct Failure {
  Kind kind = Kind::kInternal;
  std::string text;
  unsigned long systemCode = 0;
};

// Throws fail::Error.
[[noreturn]] void Throw(Kind kind, const std::string& playerText, unsigned long systemCode = 0);

// Whether a system error code says that the volume has no room left:
// ERROR_DISK_FULL (no byte, or no file entry: Wine reports both so) or
// ERROR_HANDLE_DISK_FULL. Such a failure is the player's disk, never the
// network, and it asks for space to be freed rather than a retry.
[[nodiscard]] inline bool IsDiskFull(unsigned long systemCode) { return systemCode == 112 || systemCode == 39; }

// Whether a system error code says that another program holds the file:
// ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION or ERROR_LOCK_VIOLATION, the
// codes RetryWhileLocked waits out.
[[nodiscard]] inline bool IsLockedBySomeoneElse(unsigned long systemCode) {
  return systemCode == 5 || systemCode == 32 || systemCode == 33;
}

// The kind of a failed file-system call by its system code: kLocked when
// another program holds the file, kDisk otherwise.
[[nodiscard]] inline Kind FileKind(unsigned long systemCode) {
  return IsLockedBySomeoneElse(systemCode) ? Kind::kLocked : Kind::kDisk;
}

// playerText with its final full stop turned into "; check disk space." when
// the system code says the disk is full; playerText itself otherwise.
[[nodiscard]] std::string NamingDisk(const std::string& playerText, unsigned long systemCode);

// Throws fail::Error with NamingDisk's text and systemCode, of kind kDisk
// when the disk is full and of the given kind otherwise, so the player reads
// what to do ("Patch extraction failed; check disk space.").
[[noreturn]] void ThrowNamingDisk(Kind kind, const std::string& playerText, unsigned long systemCode);

// What an edge reports for an exception that escaped the operation whose
// own text is operationText: a fail::Error meant for the player as it is;
// any other failure (a low-level file-system call, the standard library) as
// operationText with the kind and code behind it (kDisk or kLocked for a
// system error, kInternal otherwise; a full disk named as NamingDisk does).
[[nodiscard]] Failure FailureOf(const std::exception& error, const std::string& operationText);

// The error log of the socket layer and the window procedure:
// "ERROR-> %s\n%s: %d\n\n" (message, source name, line) on standard output,
// flushed at once.
void Log(const char* message, const char* sourceName, int line);
inline constexpr char kApiSocketSource[] = "Sources\\Launcher\\APISocket";
inline constexpr char kLauncherSource[] = "Sources\\Launcher\\Launcher";

// Runs body and returns its result. An exception escaping it is caught here:
// onFailure gets its text (fallbackText for one that is not a std::exception)
// and its result is returned instead.
template <class Body, class OnFailure>
auto CatchAtEdge(Body&& body, OnFailure&& onFailure, const char* fallbackText) -> std::invoke_result_t<Body> {
  try {
    return std::forward<Body>(body)();
  } catch (const std::exception& error) {
    return std::forward<OnFailure>(onFailure)(std::string(error.what()));
  } catch (...) {
    return std::forward<OnFailure>(onFailure)(std::string(fallbackText));
  }
}

// Calls its function when the scope ends, by return or by exception, unless
// dismissed.
template <class Cleanup>
class ScopeExit {
 public:
  explicit ScopeExit(Cleanup cleanup) : cleanup_(std::move(cleanup)) {}
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  ~ScopeExit() {
    if (armed_) cleanup_();
  }
  void Dismiss() noexcept { armed_ = false; }

 private:
  Cleanup cleanup_;
  bool armed_ = true;
};

}  // namespace fail
