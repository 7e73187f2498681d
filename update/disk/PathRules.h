// Rules for relative paths named by signed manifests and patch archives, and
// the decimal reader shared by the manifest, the journal, the HTTPS headers
// and the login rules. Portable: no Windows header, so the native build runs
// them under the sanitizers and the fuzzers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvex_update {

// Longest managed path, in bytes.
inline constexpr std::size_t kMaxManagedPathLength = 220;

// True when every component of the relative path is a safe Windows file name:
// not rooted, no control byte or any of :*?"<>|, no empty component, no
// component ending in "." or a space, no DOS device name. A single trailing
// separator is accepted. A null text gives false.
[[nodiscard]] bool IsSafeRelativePath(std::string_view text);
[[nodiscard]] bool IsSafeRelativePath(const char* text);

// True when the text may name a client file in a manifest or archive: a safe
// relative path of 1 to 220 printable-ASCII bytes with "/" separators, outside
// the update area and not one of the protected configuration files at the root
// (in any spelling that reaches them). A null text gives false.
[[nodiscard]] bool IsManagedPath(std::string_view text);
[[nodiscard]] bool IsManagedPath(const char* text);

// True when a relative path ("/" separators) names what no update or repair
// may write: anything in the update area (a name whose first 13 bytes are
// ".orvex-update" in any letter case), one of the protected configuration
// files at the root, or a first component that looks like a short-name alias
// of either. Part of IsManagedPath.
[[nodiscard]] bool NamesProtectedClientFile(std::string_view text);

// One or more ASCII digits, at most maximum; no value otherwise.
[[nodiscard]] std::optional<std::uint64_t> ReadDecimal(std::string_view text, std::uint64_t maximum);

// ReadDecimal for the stored formats: throws
// std::runtime_error("Invalid manifest number.") where it has no value.
std::uint64_t ParseDecimal(std::string_view text, std::uint64_t maximum);

// The text with ASCII A-Z lowered and every other byte kept.
std::string AsciiLower(std::string_view text);

// The client-relative file name ("/" separators, UTF-16) for a managed path
// whose client name is not ASCII, or nullptr when the managed path names the
// client file as written. Manifests spell such names percent-encoded.
const char16_t* DecodedClientName(std::string_view managedPath);

}  // namespace orvex_update
