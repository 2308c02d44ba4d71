#include "win/InMemoryTemplate.h"

#include <commctrl.h>

#include <cstring>

#include "win/WideText.h"

namespace {

// Predefined window classes of a dialog item, by their atoms.
constexpr std::uint16_t kButtonAtom = 0x0080;
constexpr std::uint16_t kEditAtom = 0x0081;
constexpr std::uint16_t kStaticAtom = 0x0082;
constexpr std::uint16_t kComboBoxAtom = 0x0085;
constexpr std::uint16_t kOrdinal = 0xFFFF;  // a class or title given by number

DWORD StyleOf(const ControlTemplate& c) {
    DWORD style = WS_CHILD | WS_VISIBLE;
    if (c.styles & kTabStop) style |= WS_TABSTOP;
    if (c.styles & kGroup) style |= WS_GROUP;
    if (c.styles & kBorder) style |= WS_BORDER;
    if (c.styles & kVScroll) style |= WS_VSCROLL;
    switch (c.kind) {
        case ControlKind::Edit:
            style |= ES_LEFT;
            if (c.styles & kAutoHScroll) style |= ES_AUTOHSCROLL;
            break;
        case ControlKind::ProgressBar:
            break;
        case ControlKind::PushButton:
            style |= BS_PUSHBUTTON;
            break;
        case ControlKind::DefaultPushButton:
            style |= BS_DEFPUSHBUTTON;
            break;
        case ControlKind::StaticText:
            style |= SS_LEFT;
            if (c.styles & kSunken) style |= SS_SUNKEN;
            if (c.styles & kNoPrefix) style |= SS_NOPREFIX;
            break;
        case ControlKind::StaticIcon:
            style |= SS_ICON;
            break;
        case ControlKind::ComboBox:
            // Editable: a port may be typed. Entries go in by position, sorted or not.
            style |= CBS_DROPDOWN;
            if (c.styles & kSort) style |= CBS_SORT;
            if (c.styles & kAutoHScroll) style |= CBS_AUTOHSCROLL;
            break;
        case ControlKind::GroupBox:
            style |= BS_GROUPBOX;
            break;
    }
    return style;
}

std::uint16_t AtomOf(ControlKind kind) {
    switch (kind) {
        case ControlKind::Edit:
            return kEditAtom;
        case ControlKind::PushButton:
        case ControlKind::DefaultPushButton:
        case ControlKind::GroupBox:
            return kButtonAtom;
        case ControlKind::ComboBox:
            return kComboBoxAtom;
        case ControlKind::ProgressBar:  // a class by name, below
        case ControlKind::StaticText:
        case ControlKind::StaticIcon:
            break;
    }
    return kStaticAtom;
}

// The label that names this control, or null.
const char* LabelOf(const DialogTemplate& t, int id) {
    for (const LabelFor& pair : t.labels)
        if (pair.control == id) return pair.label;
    return nullptr;
}

bool IsLabel(const DialogTemplate& t, const ControlTemplate& c) {
    for (const LabelFor& pair : t.labels)
        if (std::strcmp(pair.label, c.name) == 0) return true;
    return false;
}

const ControlTemplate* ByName(const DialogTemplate& t, const char* name) {
    for (const ControlTemplate& c : t.controls)
        if (std::strcmp(c.name, name) == 0) return &c;
    return nullptr;
}

}  // namespace

InMemoryTemplate::InMemoryTemplate(const DialogTemplate& t, int iconId, DWORD windowStyle,
                                   DWORD extendedStyle) {
    // A modal frame with a caption and a system menu, as the Qt window has.
    AddDword(DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU |
             windowStyle);
    AddDword(extendedStyle);
    Add(static_cast<std::uint16_t>(t.controls.size()));
    Add(0);  // x, y: centred
    Add(0);
    Add(static_cast<std::uint16_t>(t.width));
    Add(static_cast<std::uint16_t>(t.height));
    Add(0);  // no menu
    Add(0);  // the dialog class
    AddText(t.title);
    Add(static_cast<std::uint16_t>(t.pointSize));
    AddText(t.fontFace);
    for (const ControlTemplate& c : t.controls) {
        if (IsLabel(t, c)) continue;  // placed with the control it names
        if (const char* label = LabelOf(t, c.id)) {
            if (const ControlTemplate* l = ByName(t, label)) AddControl(*l, iconId);
        }
        AddControl(c, iconId);
    }
}

void InMemoryTemplate::AddDword(DWORD value) {
    Add(static_cast<std::uint16_t>(value & 0xFFFF));
    Add(static_cast<std::uint16_t>(value >> 16));
}

void InMemoryTemplate::AddText(std::string_view utf8) {
    for (wchar_t w : Wide(utf8)) Add(static_cast<std::uint16_t>(w));
    Add(0);
}

void InMemoryTemplate::AlignToDword() {
    if (words_.size() % 2) Add(0);
}

void InMemoryTemplate::AddControl(const ControlTemplate& c, int iconId) {
    AlignToDword();
    AddDword(StyleOf(c));
    AddDword(0);
    Add(static_cast<std::uint16_t>(c.x));
    Add(static_cast<std::uint16_t>(c.y));
    Add(static_cast<std::uint16_t>(c.width));
    Add(static_cast<std::uint16_t>(c.height));
    Add(static_cast<std::uint16_t>(c.id));  // IDC_STATIC is 0xFFFF
    if (c.kind == ControlKind::ProgressBar) {
        for (const wchar_t* p = PROGRESS_CLASSW; *p; ++p) Add(static_cast<std::uint16_t>(*p));
        Add(0);
    } else {
        Add(kOrdinal);
        Add(AtomOf(c.kind));
    }
    if (c.kind == ControlKind::StaticIcon) {
        // The icon resource of the module the dialog is made from.
        Add(kOrdinal);
        Add(static_cast<std::uint16_t>(iconId));
    } else {
        AddText(c.caption);
    }
    Add(0);  // no creation data
}
