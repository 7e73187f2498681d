// The one include of <windows.h>, with the macros the whole program builds
// with. Headers that only need Win32 types include this one; owners of
// handles come from WinHandles.h.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
