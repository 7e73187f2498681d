// How the launcher fails, in one place: the throw helper, the catch at the
// edges (a thread's entry, the window procedure), the one log, and the
// scope-exit that runs clean-up however a scope ends. Portable.
//
// A failure the player should read is thrown as fail::Error: its what() is
// the player's text, exactly as shown; the system's error code (GetLastError,
// a Winsock or WinHTTP code), when there is one, travels beside it and never
// goes into the text. Nothing throws out of a thread's entry or the window
// procedure: CatchAtEdge turns what escapes into a text there.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

namespace fail {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& playerText, unsigned long systemCode = 0)
      : std::runtime_error(playerText), systemCode_(systemCode) {}
  // 0 when the failure has no system error behind it.
  unsigned long SystemCode() const noexcept { return systemCode_; }

 private:
  unsigned long systemCode_;
};

// Throws fail::Error.
[[noreturn]] void Throw(const std::string& playerText, unsigned long systemCode = 0);

// Whether a system error code says that the volume has no room left:
// ERROR_DISK_FULL (no byte, or no file entry: Wine reports both so) or
// ERROR_HANDLE_DISK_FULL. Such a failure is the player's disk, never the
// network, and it asks for space to be freed rather than a retry.
inline bool IsDiskFull(unsigned long systemCode) { return systemCode == 112 || systemCode == 39; }

// Throws fail::Error with playerText and systemCode; when the code says the
// disk is full, the text's final full stop becomes "; check disk space.", so
// the player reads what to do ("Patch extraction failed; check disk space.").
[[noreturn]] void ThrowNamingDisk(const std::string& playerText, unsigned long systemCode);

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
