// PNG artwork stored as raw-data resources, decoded through GDI+.
#pragma once

#include "common/WinHandles.h"

namespace ui {

// Decodes RCDATA resource id of the module into a device-dependent bitmap of
// exactly width x height; empty on any failure or another size.
win::UniqueBitmap LoadPicture(HINSTANCE instance, int resourceId, int width, int height);

}  // namespace ui
