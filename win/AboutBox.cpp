#include "win/AboutBox.h"

#include "res/DialogTemplates.h"
#include "win/InMemoryTemplate.h"
#include "win/ResourceIds.h"

void AboutBox::Show(HINSTANCE instance, HWND owner) {
    const InMemoryTemplate about(kAboutBoxTemplate, IDI_APP_ICON);
    DialogBoxIndirectParamW(instance, about.Get(), owner, &AboutBox::Procedure, 0);
}

INT_PTR CALLBACK AboutBox::Procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            return TRUE;  // the focus on the first tab stop: the OK button
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}
