// Helpers for tests that run under Wine: scratch folders and files.
#pragma once

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace testutil {

// A fresh folder under the temp directory, removed with its contents at the end.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& name) {
    path_ = std::filesystem::temp_directory_path() / ("orvex-test-" + name + "-" + std::to_string(::GetCurrentProcessId()));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& Path() const { return path_; }
  std::string Narrow() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

inline void WriteText(const std::filesystem::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
}

// Changes the current directory for the length of a scope.
class CurrentDirectoryScope {
 public:
  explicit CurrentDirectoryScope(const std::filesystem::path& folder) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~CurrentDirectoryScope() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
  }

 private:
  std::filesystem::path previous_;
};

// A scratch client folder made the current directory for the length of a
// scope, where the launcher reads ".\Server.ini".
class IniFolder : public ScratchFolder {
 public:
  explicit IniFolder(const std::string& name) : ScratchFolder(name), here_(Path()) {}
  void WriteIni(const std::string& text) const { WriteText(Path() / "Server.ini", text); }

 private:
  CurrentDirectoryScope here_;
};

}  // namespace testutil
