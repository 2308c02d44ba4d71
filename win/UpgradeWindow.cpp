#include "win/UpgradeWindow.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>

#include "res/DialogTemplates.h"
#include "win/AboutBox.h"
#include "win/ControlText.h"
#include "win/DeviceDialog.h"
#include "win/InMemoryTemplate.h"
#include "win/NoticeBox.h"
#include "win/ResourceIds.h"
#include "win/WideText.h"

static_assert(IDI_APP_ICON == 128, "kavlet.rc gives the icon the number 128");

namespace {

constexpr UINT kWakeMessage = WM_APP + 1;  // posted by Wake from any thread
constexpr UINT_PTR kDeadlineTimer = 1;     // the presenter's next timed Pump
constexpr UINT kCommandMask = 0xFFF0;      // the system's own low bits of a system command

// Removes the operator's clicks and keys queued for this thread.
void DropQueuedInput() {
    MSG message;
    while (PeekMessageW(&message, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
    }
    while (PeekMessageW(&message, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
    }
    while (PeekMessageW(&message, nullptr, WM_NCMOUSEMOVE, WM_NCMBUTTONDBLCLK, PM_REMOVE)) {
    }
}

HICON AppIcon(HINSTANCE instance, int sizeMetric) {
    const int size = GetSystemMetrics(sizeMetric);
    return static_cast<HICON>(
        LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP_ICON), IMAGE_ICON, size, size, 0));
}

}  // namespace

UpgradeWindow::UpgradeWindow(HINSTANCE instance, UpgradePresenter::Services services)
    : instance_(instance), presenter_(*this, std::move(services)) {}

UpgradeWindow::~UpgradeWindow() {
    presenter_.Stop();
    if (window_ && IsWindow(window_)) DestroyWindow(window_);
}

bool UpgradeWindow::Create() {
    // A window of its own on the taskbar, which can be minimised.
    const InMemoryTemplate main(kUpgradeMainTemplate, IDI_APP_ICON, WS_MINIMIZEBOX,
                                WS_EX_APPWINDOW);
    window_ = CreateDialogIndirectParamW(instance_, main.Get(), nullptr, &UpgradeWindow::Procedure,
                                         reinterpret_cast<LPARAM>(this));
    if (!window_) return false;
    ShowWindow(window_, SW_SHOW);
    UpdateWindow(window_);
    presenter_.OnInitDialog();
    return true;
}

int UpgradeWindow::Run() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (TakesEnterInPortBox(message)) continue;
        if (window_ && IsDialogMessageW(window_, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

bool UpgradeWindow::TakesEnterInPortBox(const MSG& message) {
    if (message.message != WM_KEYDOWN || message.wParam != VK_RETURN) return false;
    const HWND box = Control(IDC_PORT_LIST);
    if (message.hwnd != box && !IsChild(box, message.hwnd)) return false;
    presenter_.OnPortListChange();
    return true;
}

INT_PTR CALLBACK UpgradeWindow::Procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        auto* self = reinterpret_cast<UpgradeWindow*>(lParam);
        self->window_ = dialog;
        self->OnInitDialog();
        return FALSE;  // the focus is set
    }
    auto* self = reinterpret_cast<UpgradeWindow*>(GetWindowLongPtrW(dialog, DWLP_USER));
    return self ? self->OnMessage(message, wParam, lParam) : FALSE;
}

void UpgradeWindow::OnInitDialog() {
    // The system menu: the about box after the system's own commands.
    const std::wstring about = Wide(LoadString(IDS_ABOUT_MENU));
    if (HMENU menu = GetSystemMenu(window_, FALSE); menu && !about.empty()) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, IDM_ABOUT_BOX, about.c_str());
    }
    SendMessageW(window_, WM_SETICON, ICON_BIG,
                 reinterpret_cast<LPARAM>(AppIcon(instance_, SM_CXICON)));
    SendMessageW(window_, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(AppIcon(instance_, SM_CXSMICON)));
    const HWND ports = Control(IDC_PORT_LIST);
    int position = 0;
    int widest = 0;
    const HDC dc = GetDC(ports);
    const HGDIOBJ font =
        SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(ports, WM_GETFONT, 0, 0)));
    for (const std::string& port : UpgradePresenter::PortChoices()) {
        const std::wstring name = Wide(port);
        SendMessageW(ports, CB_INSERTSTRING, static_cast<WPARAM>(position++),
                     reinterpret_cast<LPARAM>(name.c_str()));
        SIZE size{};
        if (GetTextExtentPoint32W(dc, name.c_str(), static_cast<int>(name.size()), &size))
            widest = std::max(widest, static_cast<int>(size.cx));
    }
    SelectObject(dc, font);
    ReleaseDC(ports, dc);
    // The drop-down shows the whole name of every port, however narrow the box.
    SendMessageW(ports, CB_SETDROPPEDWIDTH,
                 static_cast<WPARAM>(widest + GetSystemMetrics(SM_CXVSCROLL) +
                                     4 * GetSystemMetrics(SM_CXEDGE)),
                 0);
    SendMessageW(ports, CB_SETCURSEL, 0, 0);
    SetFocus(Control(IDC_FILE_PATH));
}

INT_PTR UpgradeWindow::OnMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case kWakeMessage:
            presenter_.Pump();
            return TRUE;
        case WM_TIMER:
            if (wParam != kDeadlineTimer) return FALSE;
            KillTimer(window_, kDeadlineTimer);
            presenter_.Pump();
            return TRUE;
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam));
            return TRUE;
        case WM_SYSCOMMAND:
            if ((wParam & kCommandMask) != IDM_ABOUT_BOX) return FALSE;
            AboutBox::Show(instance_, window_);
            return TRUE;
        case WM_SETCURSOR:
            if (!busy_) return FALSE;
            SetCursor(LoadCursorW(nullptr, IDC_WAIT));
            SetWindowLongPtrW(window_, DWLP_MSGRESULT, TRUE);
            return TRUE;
        case WM_DESTROY:
            presenter_.Stop();
            KillTimer(window_, kDeadlineTimer);
            PostQuitMessage(0);
            return TRUE;
        default:
            return FALSE;
    }
}

void UpgradeWindow::OnCommand(int id, int notification) {
    switch (id) {
        case IDC_SELECT_FILE:
            if (notification == BN_CLICKED) presenter_.OnSelectFile();
            return;
        case IDC_START_UPGRADE:
            if (notification == BN_CLICKED) presenter_.OnStartUpgrade();
            return;
        case IDC_OPEN_PORT:
            if (notification == BN_CLICKED) presenter_.OnOpenPortButton();
            return;
        case IDC_CONNECT:
            if (notification == BN_CLICKED) presenter_.OnConnect();
            return;
        case IDC_PORT_LIST:
            if (notification == CBN_SELCHANGE) {
                // The edit field shows the entry only after this notice: the entry is put
                // there first, so that the port named is the one chosen.
                const HWND box = Control(IDC_PORT_LIST);
                const auto index = static_cast<int>(SendMessageW(box, CB_GETCURSEL, 0, 0));
                SetWindowTextW(box, Wide(ComboEntry(box, index)).c_str());
                presenter_.OnPortListChange();
            }
            return;
        case IDOK:  // Enter off a button: closes the window, as a dialog with no default button
        case IDCANCEL:
            DestroyWindow(window_);
            return;
        default:
            return;
    }
}

void UpgradeWindow::SetText(int id, const std::string& utf8) {
    // Only a text that changed is set: the counts change while a frame goes out.
    const HWND control = Control(id);
    if (WindowText(control) != utf8) SetWindowTextW(control, Wide(utf8).c_str());
}

// --- The view

void UpgradeWindow::Show(const ScreenState& state) {
    SetText(IDC_OPEN_PORT, state.openPortCaption);
    SetText(IDC_CONNECT, state.connectCaption);
    EnableWindow(Control(IDC_SELECT_FILE), state.selectFileEnabled);
    EnableWindow(Control(IDC_START_UPGRADE), state.startUpgradeEnabled);
    EnableWindow(Control(IDC_CONNECT), state.connectEnabled);
    const HWND bar = Control(IDC_PROGRESS);
    SendMessageW(bar, PBM_SETRANGE32, 0, state.progressMaximum);
    SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(state.progressPosition), 0);
    ShowWindow(bar, state.progressVisible ? SW_SHOW : SW_HIDE);
    SetText(IDC_TOTAL_COUNT, state.totalCount);
    SetText(IDC_SENT_COUNT, state.sentCount);
    // The operator may type into the path's box: it is set only when the presenter's changes.
    if (state.filePath != shownPath_) SetText(IDC_FILE_PATH, state.filePath);
    shownPath_ = state.filePath;
}

void UpgradeWindow::Tell(const Notice& notice) {
    // A box during the pauses of a busy stretch takes clicks of its own: input made before it
    // appeared must not close it unread.
    if (busy_) {
        DropQueuedInput();
        SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    }
    ShowNotice(window_, notice);
    if (busy_) SetCursor(LoadCursorW(nullptr, IDC_WAIT));
}

std::string UpgradeWindow::ChosenPort() {
    // The edit field holds the entry chosen or the text typed.
    return WindowText(Control(IDC_PORT_LIST));
}

std::optional<std::string> UpgradeWindow::AskFirmwareFile() {
    std::wstring path(32768, L'\0');
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = window_;
    dialog.lpstrFilter = L"Bin File (*.bin)\0*.bin\0";
    dialog.lpstrFile = path.data();
    dialog.nMaxFile = static_cast<DWORD>(path.size());
    // The file and its folder must exist.
    dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (!GetOpenFileNameW(&dialog)) return std::nullopt;
    path.resize(wcslen(path.c_str()));
    return Utf8(path);
}

std::optional<DeviceSelection> UpgradeWindow::AskDevice() {
    return DeviceDialog::Ask(instance_, window_);
}

void UpgradeWindow::SetBusy(bool busy) {
    if (!busy) DropQueuedInput();
    busy_ = busy;
    SetCursor(LoadCursorW(nullptr, busy ? IDC_WAIT : IDC_ARROW));
}

void UpgradeWindow::Wake() {
    PostMessageW(window_, kWakeMessage, 0, 0);
}

void UpgradeWindow::WakeAfter(std::optional<std::chrono::milliseconds> delay) {
    if (!delay) {
        KillTimer(window_, kDeadlineTimer);
        return;
    }
    SetTimer(window_, kDeadlineTimer, static_cast<UINT>(delay->count()), nullptr);
}
