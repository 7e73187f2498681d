#include "Launcher/StartupRules.h"

#include <algorithm>

namespace startup {
namespace {

constexpr std::string_view kSwapSwitch = "--orvex-launcher-swap ";
constexpr std::size_t kMaxPath = 260;

template <typename Char>
Char AsciiLower(Char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<Char>(c - 'A' + 'a') : c;
}

// Windows file names compare without regard to case; the names we look for are ASCII.
template <typename Char>
[[nodiscard]] bool EqualsIgnoreCase(std::basic_string_view<Char> text, std::string_view ascii) {
  if (text.size() != ascii.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (AsciiLower(text[i]) != static_cast<Char>(AsciiLower(ascii[i]))) return false;
  }
  return true;
}

template <typename Char>
std::basic_string_view<Char> FileNamePart(std::basic_string_view<Char> path) {
  const auto cut = path.find_last_of(static_cast<Char>('\\'));
  return cut == std::basic_string_view<Char>::npos ? path : path.substr(cut + 1);
}

// The folder part of a path cut at its last backslash. A bare drive ("C:")
// names the current directory of that drive, not its root, so a launcher at
// the root of a drive keeps the backslash.
template <typename Char>
std::basic_string<Char> FolderPart(std::basic_string_view<Char> path, std::size_t cut) {
  std::basic_string<Char> folder(path.substr(0, cut));
  if (folder.size() == 2 && folder[1] == static_cast<Char>(':')) folder += static_cast<Char>('\\');
  return folder;
}

[[nodiscard]] std::optional<RunModeChoice> SwapChoice(const std::optional<std::wstring>& widePath, std::string_view rest) {
  const auto pid = ParseWholeUnsigned(rest);
  if (!pid || *pid == 0 || !widePath) return std::nullopt;
  const std::wstring_view path = *widePath;
  const auto fileCut = path.find_last_of(L'\\');
  if (fileCut == std::wstring_view::npos) return std::nullopt;
  if (!EqualsIgnoreCase(path.substr(fileCut + 1), "launcher-swap.exe")) return std::nullopt;
  const std::wstring_view folder = path.substr(0, fileCut);
  const auto folderCut = folder.find_last_of(L'\\');
  if (folderCut == std::wstring_view::npos) return std::nullopt;
  if (!EqualsIgnoreCase(folder.substr(folderCut + 1), ".orvex-update")) return std::nullopt;
  RunModeChoice choice;
  choice.mode = RunMode::Swap;
  choice.clientFolder = FolderPart(folder, folderCut);
  choice.swapProcessId = *pid;
  return choice;
}

}  // namespace

std::optional<std::uint32_t> ParseWholeUnsigned(std::string_view text) {
  std::size_t i = 0;
  // isspace in the C locale: blank, \t, \n, \v, \f, \r.
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t digitsStart = i;
  std::uint64_t value = 0;
  bool overflow = false;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
    if (value > 0xFFFFFFFFull) {
      overflow = true;
      value = 0xFFFFFFFFull;
    }
    ++i;
  }
  // No digits: strtoul consumes nothing, so the text is not a number at all.
  if (i == digitsStart || i != text.size()) return std::nullopt;
  if (overflow) return 0xFFFFFFFFu;
  auto result = static_cast<std::uint32_t>(value);
  return negative ? static_cast<std::uint32_t>(0u - result) : result;
}

RunModeChoice ChooseRunMode(const std::optional<std::string>& narrowPath,
                            const std::optional<std::wstring>& widePath, std::string_view commandLine) {
  RunModeChoice exit1;
  if (!narrowPath || narrowPath->size() >= kMaxPath) return exit1;
  const auto cut = narrowPath->find_last_of('\\');
  if (cut == std::string::npos) return exit1;

  if (widePath && EqualsIgnoreCase(FileNamePart(std::wstring_view(*widePath)), "PatchKur.exe")) {
    RunModeChoice choice;
    choice.mode = RunMode::Installer;
    choice.unattended = commandLine == "--unattended";
    choice.executablePath = *widePath;
    return choice;
  }

  if (commandLine.substr(0, kSwapSwitch.size()) == kSwapSwitch) {
    if (auto choice = SwapChoice(widePath, commandLine.substr(kSwapSwitch.size()))) return *choice;
    return exit1;
  }

  RunModeChoice choice;
  choice.mode = RunMode::Launcher;
  choice.launcherFolder = FolderPart(std::string_view(*narrowPath), cut);
  return choice;
}

double CanvasScale(const WorkArea& area, unsigned dpi, int canvasWidth, int canvasHeight) {
  const int w = area.right - area.left;
  const int h = area.bottom - area.top;
  const double monitorScale = (dpi == 0 ? 96 : dpi) / 96.0;
  return std::min({monitorScale, (w - 24) / static_cast<double>(canvasWidth),
                   (h - 24) / static_cast<double>(canvasHeight)});
}

WindowPlacement ComputeWindowPlacement(const WorkArea& area, unsigned dpi, int canvasWidth, int canvasHeight) {
  const int w = area.right - area.left;
  const int h = area.bottom - area.top;
  const double scale = CanvasScale(area, dpi, canvasWidth, canvasHeight);
  WindowPlacement placement;
  // A work area of 24 pixels or less would give no window at all; keep one
  // pixel so that the window can still be created and restored later.
  placement.width = std::max(1, static_cast<int>(scale * canvasWidth));
  placement.height = std::max(1, static_cast<int>(scale * canvasHeight));
  placement.x = area.left + (w - placement.width) / 2;
  placement.y = area.top + (h - placement.height) / 2;
  return placement;
}

}  // namespace startup
