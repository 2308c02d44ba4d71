#include "win/DeviceDialog.h"

#include <variant>

#include "present/DeviceChoice.h"
#include "res/DialogTemplates.h"
#include "win/ControlText.h"
#include "win/InMemoryTemplate.h"
#include "win/NoticeBox.h"
#include "win/ResourceIds.h"
#include "win/WideText.h"

namespace {
template <std::size_t N>
void FillByPosition(HWND combo, const std::array<const char*, N>& texts, int chosen) {
    int position = 0;
    for (const char* text : texts) {
        SendMessageW(combo, CB_INSERTSTRING, static_cast<WPARAM>(position++),
                     reinterpret_cast<LPARAM>(Wide(text).c_str()));
    }
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(chosen), 0);
}
}  // namespace

std::optional<DeviceSelection> DeviceDialog::Ask(HINSTANCE instance, HWND owner) {
    const InMemoryTemplate device(kDeviceSelectTemplate, IDI_APP_ICON);
    DeviceDialog dialog;
    DialogBoxIndirectParamW(instance, device.Get(), owner, &DeviceDialog::Procedure,
                            reinterpret_cast<LPARAM>(&dialog));
    return dialog.choice_;
}

INT_PTR CALLBACK DeviceDialog::Procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        reinterpret_cast<DeviceDialog*>(lParam)->Fill(dialog);
        SetFocus(GetDlgItem(dialog, IDC_ADDRESS));
        return FALSE;  // the focus is set
    }
    auto* self = reinterpret_cast<DeviceDialog*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (message != WM_COMMAND || !self) return FALSE;
    switch (LOWORD(wParam)) {
        case IDC_START_DEVICE:
            self->OnStartDevice(dialog);
            return TRUE;
        case IDOK:  // Enter off the button: closed as a dialog with no default button is
        case IDCANCEL:
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        default:
            return FALSE;
    }
}

void DeviceDialog::Fill(HWND dialog) {
    FillByPosition(GetDlgItem(dialog, IDC_PROTOCOL), device_choice::kProtocolTexts,
                   device_choice::kDefaultProtocol);
    FillByPosition(GetDlgItem(dialog, IDC_BAUD), device_choice::kSpeedTexts,
                   device_choice::kDefaultSpeed);
    SetDlgItemTextW(dialog, IDC_ADDRESS, Wide(device_choice::kDefaultAddress).c_str());
}

void DeviceDialog::OnStartDevice(HWND dialog) {
    const auto checked = device_choice::Check(WindowText(GetDlgItem(dialog, IDC_ADDRESS)),
                                              ComboSelection(GetDlgItem(dialog, IDC_PROTOCOL)),
                                              ComboSelection(GetDlgItem(dialog, IDC_BAUD)));
    if (const auto* notice = std::get_if<Notice>(&checked)) {
        // The dialog stays open, its fields as they were; the box bears the application's name.
        ShowNotice(dialog, Notice(notice->text));
        return;
    }
    choice_ = std::get<DeviceSelection>(checked);
    EndDialog(dialog, IDOK);
}
