#include "win/NoticeBox.h"

#include "win/WideText.h"

std::wstring ApplicationName() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name = path;
    name.erase(0, name.find_last_of(L"\\/") + 1);
    if (const auto dot = name.find_last_of(L'.'); dot != std::wstring::npos) name.erase(dot);
    return name;
}

void ShowNotice(HWND owner, const Notice& notice) {
    const std::wstring caption = notice.caption.empty() ? ApplicationName() : Wide(notice.caption);
    const UINT icon = notice.icon == NoticeIcon::Exclamation ? MB_ICONEXCLAMATION : 0;
    MessageBoxW(owner, Wide(notice.text).c_str(), caption.c_str(), MB_OK | icon);
}
