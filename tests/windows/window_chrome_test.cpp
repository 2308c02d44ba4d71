// The main window's chrome, looked at from inside the program (another process's system menu
// and icons read nothing under Wine): the system menu's entry opens the about box, which shows
// the application's icon and the version. Run under Wine on an X server by window_wine_test.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/support/MemoryLine.h"
#include "win/ResourceIds.h"
#include "win/UpgradeWindow.h"

namespace {

// The about box's version text and whether its icon control holds an icon, read once the box is
// up; then the box is closed with its OK button's command.
struct AboutBoxSeen {
    std::wstring version;
    bool icon = false;
};

AboutBoxSeen LookAtAboutBox() {
    AboutBoxSeen seen;
    HWND about = nullptr;
    // Found once it is on screen: the dialog exists, hidden, while it is being set up.
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!((about = FindWindowW(L"#32770", L"关于 Kavlet")) && IsWindowVisible(about)) &&
           std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!about) return seen;
    for (HWND child = GetWindow(about, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            seen.icon = seen.icon || SendMessageW(child, STM_GETICON, 0, 0) != 0;
        } else if (GetDlgCtrlID(child) != IDOK) {
            wchar_t text[64] = {};
            GetWindowTextW(child, text, 64);
            seen.version = text;
        }
    }
    // The OK button's command, as its click sends it.
    PostMessageW(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(about, IDOK)));
    return seen;
}

TEST(WindowChrome, TheSystemMenusEntryOpensTheAboutBoxWithTheIconAndTheVersion) {
    memory_line::MemoryPort port;
    UpgradeWindow window(GetModuleHandleW(nullptr), {port.Opener(), nullptr});
    ASSERT_TRUE(window.Create());
    const HWND main = window.Handle();
    EXPECT_NE(SendMessageW(main, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_NE(SendMessageW(main, WM_GETICON, ICON_SMALL, 0), 0);

    const HMENU menu = GetSystemMenu(main, FALSE);
    const int last = GetMenuItemCount(menu) - 1;
    EXPECT_EQ(GetMenuItemID(menu, last), IDM_ABOUT_BOX);
    wchar_t entry[64] = {};
    GetMenuStringW(menu, static_cast<UINT>(last), entry, 64, MF_BYPOSITION);
    EXPECT_EQ(std::wstring(entry), L"关于 Kavlet(&A)...");

    // The box is modal: it is looked at from a second thread while the command waits for it.
    AboutBoxSeen seen;
    std::thread looker([&] { seen = LookAtAboutBox(); });
    SendMessageW(main, WM_SYSCOMMAND, IDM_ABOUT_BOX, 0);
    looker.join();
    EXPECT_EQ(seen.version, L"Kavlet 1.0 版");
    EXPECT_TRUE(seen.icon);
}

}  // namespace
