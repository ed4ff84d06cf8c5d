#pragma once

#include <windows.h>

namespace trunvex {

// The About box, dialog template 100, modal over `owner` until OK, Escape or its close box.
void showAboutBox(HINSTANCE instance, HWND owner);

}  // namespace trunvex
