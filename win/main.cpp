// commctrl.h needs windows.h before it.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include "win/UpgradeWindow.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                        ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    UpgradeWindow window(instance);
    if (!window.Create()) return 1;
    return window.Run();
}
