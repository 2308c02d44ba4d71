// kavlet-window-driver.exe: drives kavlet.exe's window from outside, as an operator would,
// through user32 only, for a test on the Linux side (tests/windows/window_wine_test.cpp) in the
// same Wine session. One command a line on standard input (UTF-8), one line of answer each;
// every wait ends when its condition holds, or after a minute with "timeout".
//
//   main                -> "found" once the main window is on screen
//   text ID             -> "text T": the control's text
//   wait-text ID T      -> "ok" once control ID shows T
//   wait-enabled ID     -> "ok" once control ID is enabled
//   progress ID         -> "progress POS MAX": the progress bar's position and upper limit
//   click ID            -> "clicked": BM_CLICK posted to the button
//   press-twice ID      -> "posted": the button's WM_COMMAND (BN_CLICKED) posted to the main
//                          window twice back to back, both queued before the first is handled
//   port NAME           -> "typed": NAME into the port box, then Enter in it
//   box                 -> "box CAPTION|TEXT|ICON" (ICON: "!" or "-") of the next message box
//                          over the main window, which is then closed with its OK button
//   file PATH           -> "chosen": PATH into the file dialog's name field, then its Open button
//   device              -> "pressed": the device dialog's "启动更新" pressed
//   shown TITLE         -> "shown" once a dialog TITLE over the main window is on screen
//   press ID TITLE      -> "pressed" once button ID of dialog TITLE was pressed and it is gone
//   about               -> "shown": the system menu's about command, until the box is up
//   close               -> "closed" once the main window is gone after WM_CLOSE
//
// With the argument --prepare it only sets the Wine prefix up for Chinese text and exits: fonts
// standing in for 宋体 and the system's fonts, and a Wine desktop that draws window frames.
#include <windows.h>
// After windows.h:
#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>
#include <thread>

namespace {

constexpr wchar_t kMainTitle[] = L"Tolmar云台程序升级";
constexpr wchar_t kDeviceTitle[] = L"选择设备";
constexpr wchar_t kAboutTitle[] = L"关于 Kavlet";
constexpr int kStartDevice = 1025;    // res/resource.h's IDC_START_DEVICE
constexpr int kFileNameBox = 0x47c;   // the file dialog's name field (cmb13), or
constexpr int kFileNameEdit = 0x480;  // in older templates its edit (edt1)

std::wstring Wide(const std::string& utf8) {
    std::wstring text(utf8.size(), L'\0');
    text.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(),
                            static_cast<int>(text.size()))));
    return text;
}

std::string Utf8(const std::wstring& text) {
    std::string out(text.size() * 3, '\0');
    out.resize(static_cast<std::size_t>(
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                            static_cast<int>(out.size()), nullptr, nullptr)));
    return out;
}

std::wstring TextOf(HWND window) {
    // WM_GETTEXT reaches another process's controls, whose text GetWindowText does not read.
    wchar_t text[1024] = {};
    SendMessageW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return text;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

// Polls the condition until it holds or a minute has gone by.
bool Until(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

HWND mainWindow = nullptr;

// The first visible dialog owned by the main window that the test accepts.
HWND OwnedDialog(const std::function<bool(HWND)>& accept) {
    struct Search {
        const std::function<bool(HWND)>* accept;
        HWND found = nullptr;
    } search{&accept};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            if (GetWindow(window, GW_OWNER) != mainWindow || !IsWindowVisible(window) ||
                ClassOf(window) != L"#32770" || !(*s->accept)(window))
                return TRUE;
            s->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool HasChildOfClass(HWND window, const wchar_t* className) {
    return FindWindowExW(window, nullptr, className, nullptr) != nullptr;
}

std::string AnswerBox() {
    HWND box = nullptr;
    if (!Until([&] {
            box = OwnedDialog([](HWND w) {
                return TextOf(w) != kAboutTitle && !HasChildOfClass(w, L"Edit") &&
                       !HasChildOfClass(w, L"ComboBox");
            });
            return box != nullptr;
        }))
        return "timeout";
    std::wstring text;
    bool icon = false;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (ClassOf(child) != L"Static" || !IsWindowVisible(child)) continue;
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            icon = icon || SendMessageW(child, STM_GETICON, 0, 0) != 0;
        } else if (!TextOf(child).empty()) {
            text = TextOf(child);
        }
    }
    const std::string answer = "box " + Utf8(TextOf(box)) + "|" + Utf8(text) + (icon ? "|!" : "|-");
    PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    Until([&] { return !IsWindow(box); });
    return answer;
}

std::string ChooseFile(const std::string& path) {
    HWND dialog = nullptr;
    HWND name = nullptr;
    if (!Until([&] {
            dialog = OwnedDialog(
                [](HWND w) { return GetDlgItem(w, kFileNameBox) || GetDlgItem(w, kFileNameEdit); });
            return dialog != nullptr;
        }))
        return "timeout";
    name = GetDlgItem(dialog, kFileNameBox);
    if (!name) name = GetDlgItem(dialog, kFileNameEdit);
    SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Wide(path).c_str()));
    PostMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    return Until([&] { return !IsWindow(dialog); }) ? "chosen" : "timeout";
}

HWND OwnedTitled(const std::wstring& title) {
    HWND dialog = nullptr;
    Until([&] {
        dialog = OwnedDialog([&](HWND w) { return TextOf(w) == title; });
        return dialog != nullptr;
    });
    return dialog;
}

std::string Press(int id, const std::wstring& title) {
    const HWND dialog = OwnedTitled(title);
    if (!dialog) return "timeout";
    PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
    return Until([&] { return !IsWindow(dialog); }) ? "pressed" : "timeout";
}

std::string TypePort(const std::string& name) {
    HWND box = GetDlgItem(mainWindow, 1005);  // IDC_PORT_LIST
    SendMessageW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Wide(name).c_str()));
    HWND edit = FindWindowExW(box, nullptr, L"Edit", nullptr);
    PostMessageW(edit ? edit : box, WM_KEYDOWN, VK_RETURN, 0x1C0001);
    PostMessageW(edit ? edit : box, WM_KEYUP, VK_RETURN, 0xC01C0001);
    return "typed";
}

std::string Do(const std::string& line) {
    const auto space = line.find(' ');
    const std::string command = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    const int id = std::atoi(rest.c_str());
    if (command == "main") {
        return Until([] {
            mainWindow = FindWindowW(L"#32770", kMainTitle);
            return mainWindow && IsWindowVisible(mainWindow);
        })
                   ? "found"
                   : "timeout";
    }
    const HWND control = GetDlgItem(mainWindow, id);
    if (command == "text") return "text " + Utf8(TextOf(control));
    if (command == "wait-text") {
        const std::wstring want = Wide(rest.substr(rest.find(' ') + 1));
        return Until([&] { return TextOf(control) == want; }) ? "ok"
                                                              : "text " + Utf8(TextOf(control));
    }
    if (command == "wait-enabled")
        return Until([&] { return IsWindowEnabled(control); }) ? "ok" : "timeout";
    if (command == "progress")
        return "progress " + std::to_string(SendMessageW(control, PBM_GETPOS, 0, 0)) + " " +
               std::to_string(SendMessageW(control, PBM_GETRANGE, FALSE, 0));
    if (command == "click") {
        PostMessageW(control, BM_CLICK, 0, 0);
        return "clicked";
    }
    if (command == "press-twice") {
        // Not through the button: the second press must reach the window however the first
        // left the button.
        const WPARAM clicked = MAKEWPARAM(id, BN_CLICKED);
        PostMessageW(mainWindow, WM_COMMAND, clicked, reinterpret_cast<LPARAM>(control));
        PostMessageW(mainWindow, WM_COMMAND, clicked, reinterpret_cast<LPARAM>(control));
        return "posted";
    }
    if (command == "port") return TypePort(rest);
    if (command == "box") return AnswerBox();
    if (command == "file") return ChooseFile(rest);
    if (command == "device") return Press(kStartDevice, kDeviceTitle);
    if (command == "shown") return OwnedTitled(Wide(rest)) ? "shown" : "timeout";
    if (command == "press") return Press(id, Wide(rest.substr(rest.find(' ') + 1)));
    if (command == "about") {
        PostMessageW(mainWindow, WM_SYSCOMMAND, 0x0010, 0);  // res/resource.h's IDM_ABOUT_BOX
        return OwnedTitled(kAboutTitle) ? "shown" : "timeout";
    }
    if (command == "close") {
        const HWND window = mainWindow;
        PostMessageW(window, WM_CLOSE, 0, 0);
        return Until([&] { return !IsWindow(window); }) ? "closed" : "timeout";
    }
    return "unknown " + command;
}

void SetString(HKEY root, const wchar_t* key, const wchar_t* name, const std::wstring& value,
               DWORD type = REG_SZ) {
    HKEY opened;
    if (RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened, nullptr)) return;
    RegSetValueExW(opened, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(opened);
}

void Prepare() {
    // 宋体's Latin letters are half an em wide, as the Mono face's are: texts wrap where the
    // templates were drawn for.
    const std::wstring simSun = L"WenQuanYi Zen Hei Sharp";
    const std::wstring font = L"WenQuanYi Zen Hei Sharp";
    const wchar_t* replacements = L"Software\\Wine\\Fonts\\Replacements";
    const wchar_t* substitutes =
        L"Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes";
    for (const wchar_t* face : {L"宋体", L"SimSun", L"新宋体", L"NSimSun"}) {
        SetString(HKEY_CURRENT_USER, replacements, face, simSun);
        SetString(HKEY_LOCAL_MACHINE, substitutes, face, simSun);
    }
    // The system's faces fall back to the Chinese one for the characters they lack.
    std::wstring link = L"wqy-zenhei.ttc,WenQuanYi Zen Hei Sharp";
    link.push_back(L'\0');
    const wchar_t* systemLink =
        L"Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink";
    for (const wchar_t* face : {L"Tahoma", L"MS Shell Dlg", L"MS Shell Dlg 2",
                                L"Microsoft Sans Serif", L"System", L"Segoe UI"})
        SetString(HKEY_LOCAL_MACHINE, systemLink, face, link, REG_MULTI_SZ);
    // Message boxes, menus and captions in the Chinese face at 9 points.
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    for (LOGFONTW* f : {&metrics.lfMessageFont, &metrics.lfMenuFont, &metrics.lfCaptionFont,
                        &metrics.lfSmCaptionFont, &metrics.lfStatusFont}) {
        wcscpy(f->lfFaceName, font.c_str());
        f->lfHeight = -12;
        f->lfCharSet = DEFAULT_CHARSET;
    }
    SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof metrics, &metrics,
                          SPIF_UPDATEINIFILE | SPIF_SENDCHANGE);
    // A Wine desktop of its own, which draws the frames and captions of the windows.
    SetString(HKEY_CURRENT_USER, L"Software\\Wine\\Explorer", L"Desktop", L"Default");
    SetString(HKEY_CURRENT_USER, L"Software\\Wine\\Explorer\\Desktops", L"Default", L"800x600");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--prepare") {
        Prepare();
        return 0;
    }
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::fputs((Do(line) + "\n").c_str(), stdout);
        std::fflush(stdout);
    }
    return 0;
}
