#include "win/ControlText.h"

#include "win/WideText.h"

std::string WindowText(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return Utf8(text);
}

std::string ComboEntry(HWND combo, int index) {
    const auto length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length < 0) return {};
    std::wstring entry(static_cast<std::size_t>(length) + 1, L'\0');
    entry.resize(static_cast<std::size_t>(SendMessageW(
        combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(entry.data()))));
    return Utf8(entry);
}

int ComboSelection(HWND combo) {
    const auto index = static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0));
    if (index < 0) return -1;
    return ComboEntry(combo, index) == WindowText(combo) ? index : -1;
}
