// The about box: the application's icon and "Kavlet 1.0 版", from the about template.
#pragma once

#include <windows.h>

class AboutBox {
  public:
    // Shows the box over owner until it is closed.
    static void Show(HINSTANCE instance, HWND owner);

  private:
    static INT_PTR CALLBACK Procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
};
