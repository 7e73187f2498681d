// Rules of the launcher session that need no Win32: patch file names and the
// session's own status texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/Errors.h"

namespace session {

// Patch number of a patch file name: "patch" + 1..5 digits + ".zip", or the
// digits + ".zip" alone, all lower case, value 1..32767. 0 for any other name.
std::uint16_t PatchNumberFromFileName(std::string_view name);

// The session's own texts (46, 43, 16 and 19 characters).
std::string InitialText();
std::string ConnectionFailedText();
std::string ClientNewerText();
std::string ReadyText();

// Waits, in seconds, before the automatic runs of a session that failed on
// the network (the login server unreachable, the link dropped, a patch
// download broken by the network): at most one run after each, then the last
// failure text stays.
std::vector<unsigned> DefaultRetryWaits();
// A replacement list for tests and demos ("2,4,8": 1 to 5 waits of 1 to 3600
// seconds each); the defaults for an empty or malformed text.
std::vector<unsigned> RetryWaitsFrom(std::string_view text);

// Whether a failed patch download is worth another run, by its kind and
// system code alone: a network failure (the connection refused, reset or
// timed out, or a 5xx answer). Never a refusal that the server or the signed
// data meant (signature, digest, version or size, a 4xx such as 409, a
// hostile archive), a certificate the platform rejected (by its WinHTTP
// code), a full disk (by its system code), or a failure whose recovery
// failed too (kRecovery). The text is never read.
[[nodiscard]] bool IsTransientDownloadFailure(const fail::Failure& failure);

// The status line's text and whether it is a failure that the player has not
// yet acted on. A failure text stays until the player acts (Release) or a
// newer operation reports (Set); routine texts that follow it, such as a
// clean background pass's, do not replace it (SetUnlessHeld).
class StatusLine {
 public:
  explicit StatusLine(std::string text = {}) : text_(std::move(text)) {}
  const std::string& Text() const { return text_; }
  [[nodiscard]] bool Held() const { return held_; }
  // A newer operation's report: replaces any text.
  void Set(std::string text) {
    text_ = std::move(text);
    held_ = false;
  }
  // A failure the player should read: replaces any text and holds.
  void SetFailure(std::string text) {
    text_ = std::move(text);
    held_ = true;
  }
  // A routine text: replaces the text unless a failure is held. True when it did.
  bool SetUnlessHeld(std::string text) {
    if (held_) return false;
    text_ = std::move(text);
    return true;
  }
  // The player acted: the text stays until the next text of any kind.
  void Release() { held_ = false; }

 private:
  std::string text_;
  bool held_ = false;
};

}  // namespace session
