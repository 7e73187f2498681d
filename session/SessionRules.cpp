#include "session/SessionRules.h"

namespace session {

std::uint16_t PatchNumberFromFileName(std::string_view name) {
  const bool prefixed = name.substr(0, 5) == "patch";
  const std::size_t minLength = prefixed ? 10 : 5;
  const std::size_t maxLength = prefixed ? 14 : 9;
  if (name.size() < minLength || name.size() > maxLength) return 0;
  if (name.substr(name.size() - 4) != ".zip") return 0;
  const std::string_view digits = name.substr(prefixed ? 5 : 0, name.size() - 4 - (prefixed ? 5 : 0));
  if (digits.empty()) return 0;
  unsigned value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return (value >= 1 && value <= 0x7FFF) ? static_cast<std::uint16_t>(value) : 0;
}

// The texts are assembled when asked for, from the product name and a phrase.
std::string InitialText() { return std::string("Contacting the ") + "ORVEX" + " login server, please wait"; }
std::string ConnectionFailedText() { return std::string("Unable to connect to the ") + "ORVEX" + " login server"; }
std::string ClientNewerText() { return std::string("Client is ") + "newer."; }
std::string ReadyText() { return std::string("Ready to play ") + "ORVEX"; }

}  // namespace session
