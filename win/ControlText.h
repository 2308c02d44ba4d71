// Reading controls of a Win32 window as UTF-8.
#pragma once

#include <windows.h>

#include <string>

// The window's text.
std::string WindowText(HWND window);
// The text of a combo box's entry at index.
std::string ComboEntry(HWND combo, int index);
// The position of a combo box's selected entry, or -1 when there is none: also when the text
// in its edit field is not that entry's (the operator typed over it).
int ComboSelection(HWND combo);
