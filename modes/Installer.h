// Offline installer run mode (the executable named PatchKur.exe).
#pragma once

#include <string>

// Installs the patch shipped beside the executable; returns the exit code.
int RunInstallerMode(const std::wstring& executablePath, bool unattended);
