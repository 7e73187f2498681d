#include "Installer.h"

// Interim: offline installation is not built yet.
int RunInstallerMode(const std::wstring&, bool) { return 1; }
