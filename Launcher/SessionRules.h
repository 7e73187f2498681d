// Rules of the launcher session that need no Win32: patch file names and the
// session's own status texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace session {

// Patch number of a patch file name: "patch" + 1..5 digits + ".zip", or the
// digits + ".zip" alone, all lower case, value 1..32767. 0 for any other name.
std::uint16_t PatchNumberFromFileName(std::string_view name);

// The session's own texts (46, 43, 16 and 19 characters).
std::string InitialText();
std::string ConnectionFailedText();
std::string ClientNewerText();
std::string ReadyText();

}  // namespace session
