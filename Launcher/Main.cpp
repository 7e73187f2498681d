#include "Launcher/Startup.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
  return LauncherMain(instance, commandLine);
}
