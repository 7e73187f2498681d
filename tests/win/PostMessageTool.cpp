// Test equipment: posts one message to the running launcher window, as
// another thread or process would. Usage: orvex_post.exe MESSAGE [WPARAM [LPARAM]]
// (numbers in decimal or 0x hex). Exit code 0 when posted, 1 when the window
// was not found, 2 on a usage error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: orvex_post.exe MESSAGE [WPARAM [LPARAM]]\n");
    return 2;
  }
  const UINT message = static_cast<UINT>(std::strtoul(argv[1], nullptr, 0));
  const WPARAM wParam = argc > 2 ? static_cast<WPARAM>(std::strtoull(argv[2], nullptr, 0)) : 0;
  const LPARAM lParam = argc > 3 ? static_cast<LPARAM>(std::strtoll(argv[3], nullptr, 0)) : 0;
  HWND window = ::FindWindowA("Launcher", "ORVEX Launcher");
  if (!window) return 1;
  return ::PostMessageA(window, message, wParam, lParam) ? 0 : 1;
}
