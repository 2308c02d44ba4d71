// The presenter's notices in Windows' message boxes.
#pragma once

#include <windows.h>

#include <string>

#include "present/OperatorView.h"

// The program's file name without its folder and extension ("kavlet"), as the Qt window names
// itself in boxes without a caption of their own.
std::wstring ApplicationName();

// A modal box over owner with one OK button: the notice's text, its caption (the application's
// name when it has none) and its icon.
void ShowNotice(HWND owner, const Notice& notice);
