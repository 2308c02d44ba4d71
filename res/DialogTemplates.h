// Dialog templates: every control with its id, kind, caption and place in dialog units.
// The order of the controls is the tab order. Pure data.
#pragma once

#include <cstdint>
#include <span>

enum class ControlKind {
    Edit,
    ProgressBar,
    PushButton,
    DefaultPushButton,
    StaticText,
    StaticIcon,
    ComboBox,
    GroupBox,
};

// Styles that change how a control is built or behaves.
enum ControlStyle : std::uint32_t {
    kNoStyle = 0,
    kTabStop = 1u << 0,
    kGroup = 1u << 1,  // starts a group
    kBorder = 1u << 2,
    kAutoHScroll = 1u << 3,
    kSunken = 1u << 4,  // sunken static edge
    kWordWrap = 1u << 5,
    kNoPrefix = 1u << 6,  // '&' is shown, not taken for a mnemonic
    kSort = 1u << 7,      // set in the template; lists are still filled by position
    kVScroll = 1u << 8,
};

struct ControlTemplate {
    int id;
    const char* name;  // object name: the id's symbol, or a name for controls without id
    ControlKind kind;
    const char* caption;
    int x, y, width, height;  // dialog units
    std::uint32_t styles;
};

// A caption that names a control for a screen reader: the label, by its object name, and the
// control it stands beside.
struct LabelFor {
    const char* label;
    int control;
};

struct DialogTemplate {
    int id;
    const char* title;
    int width, height;  // dialog units
    const char* fontFace;
    int pointSize;
    std::span<const ControlTemplate> controls;
    std::span<const LabelFor> labels = {};
};

extern const DialogTemplate kUpgradeMainTemplate;   // IDD_UPGRADE_MAIN
extern const DialogTemplate kDeviceSelectTemplate;  // IDD_DEVICE_SELECT
extern const DialogTemplate kAboutBoxTemplate;      // IDD_ABOUT_BOX

// Text of the instructions box: heading, one blank, speed, 28 blanks, file type. The blanks
// make it wrap into three lines in its 83-unit-wide box.
inline constexpr char kInstructionsText[] =
    "----串口更新说明---- 波特率：115200"
    "                            "
    "升级文件：*.bin";
