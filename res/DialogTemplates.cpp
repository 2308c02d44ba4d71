#include "res/DialogTemplates.h"

#include "res/resource.h"

namespace {

constexpr ControlTemplate kUpgradeMainControls[] = {
    {IDC_FILE_PATH, "IDC_FILE_PATH", ControlKind::Edit, "", 26, 61, 248, 14, kBorder | kTabStop | kAutoHScroll},
    {IDC_PROGRESS, "IDC_PROGRESS", ControlKind::ProgressBar, "", 23, 125, 254, 14, kBorder},
    {IDC_SELECT_FILE, "IDC_SELECT_FILE", ControlKind::PushButton, "选择文件", 44, 87, 50, 15, kTabStop},
    {IDC_START_UPGRADE, "IDC_START_UPGRADE", ControlKind::PushButton, "开始升级", 197, 87, 50, 15, kTabStop},
    {IDC_INSTRUCTIONS, "IDC_INSTRUCTIONS", ControlKind::StaticText, kInstructionsText, 189, 9, 83, 34, kWordWrap | kGroup},
    {IDC_PORT_LIST, "IDC_PORT_LIST", ControlKind::ComboBox, "", 81, 9, 64, 53, kSort | kVScroll | kTabStop},
    {IDC_PORT_LABEL, "IDC_PORT_LABEL", ControlKind::StaticText, "选择串口:", 34, 11, 37, 9, kNoStyle},
    {IDC_PROGRESS_LABEL, "IDC_PROGRESS_LABEL", ControlKind::StaticText, "更新进度:", 27, 113, 40, 10, kNoStyle},
    {IDC_OPEN_PORT, "IDC_OPEN_PORT", ControlKind::PushButton, "打开串口", 81, 31, 65, 14, kTabStop},
    {IDC_CONNECT, "IDC_CONNECT", ControlKind::PushButton, "连接云台", 120, 87, 50, 15, kTabStop},
    {IDC_SENT_COUNT, "IDC_SENT_COUNT", ControlKind::StaticText, "", 191, 155, 68, 12, kSunken},
    {IDC_FILE_STATUS, "IDC_FILE_STATUS", ControlKind::GroupBox, "文件状态", 24, 145, 253, 27, kNoStyle},
    {IDC_STATIC, "IDC_SENT_COUNT_LABEL", ControlKind::StaticText, "已更新:", 153, 157, 29, 9, kNoStyle},
    {IDC_TOTAL_COUNT, "IDC_TOTAL_COUNT", ControlKind::StaticText, "", 77, 156, 68, 12, kSunken},
    {IDC_STATIC, "IDC_TOTAL_COUNT_LABEL", ControlKind::StaticText, "需更新:", 37, 158, 31, 9, kNoStyle},
};

constexpr ControlTemplate kDeviceSelectControls[] = {
    {IDC_PROTOCOL_LABEL, "IDC_PROTOCOL_LABEL", ControlKind::StaticText, "协    议", 27, 30, 27, 8, kNoStyle},
    {IDC_BAUD_LABEL, "IDC_BAUD_LABEL", ControlKind::StaticText, "波特率", 28, 46, 25, 8, kNoStyle},
    {IDC_STATIC, "IDC_ADDRESS_LABEL", ControlKind::StaticText, "地    址", 28, 14, 25, 8, kNoStyle},
    {IDC_ADDRESS, "IDC_ADDRESS", ControlKind::Edit, "", 60, 12, 54, 12, kBorder | kAutoHScroll | kTabStop},
    {IDC_PROTOCOL, "IDC_PROTOCOL", ControlKind::ComboBox, "", 60, 28, 55, 39, kSort | kVScroll | kTabStop},
    {IDC_BAUD, "IDC_BAUD", ControlKind::ComboBox, "", 60, 44, 55, 44, kSort | kVScroll | kTabStop},
    {IDC_START_DEVICE, "IDC_START_DEVICE", ControlKind::PushButton, "启动更新", 61, 72, 50, 14, kTabStop},
    {IDC_STATIC, "IDC_ADDRESS_HINT", ControlKind::StaticText, "1--255", 119, 14, 21, 8, kNoStyle},
};

constexpr LabelFor kUpgradeMainLabels[] = {
    {"IDC_PORT_LABEL", IDC_PORT_LIST},
    {"IDC_PROGRESS_LABEL", IDC_PROGRESS},
    {"IDC_TOTAL_COUNT_LABEL", IDC_TOTAL_COUNT},
    {"IDC_SENT_COUNT_LABEL", IDC_SENT_COUNT},
};

constexpr LabelFor kDeviceSelectLabels[] = {
    {"IDC_ADDRESS_LABEL", IDC_ADDRESS},
    {"IDC_PROTOCOL_LABEL", IDC_PROTOCOL},
    {"IDC_BAUD_LABEL", IDC_BAUD},
};

constexpr ControlTemplate kAboutBoxControls[] = {
    {IDC_STATIC, "IDC_ABOUT_ICON", ControlKind::StaticIcon, "", 11, 17, 20, 20, kNoStyle},
    {IDC_STATIC, "IDC_ABOUT_VERSION", ControlKind::StaticText, "Kavlet 1.0 版", 40, 10, 119, 8, kNoPrefix | kGroup},
    {IDOK, "IDOK", ControlKind::DefaultPushButton, "确定", 178, 7, 50, 14, kTabStop | kGroup},
};

}  // namespace

const DialogTemplate kUpgradeMainTemplate = {
    IDD_UPGRADE_MAIN, "Tolmar云台程序升级", 301, 183, "宋体", 9, kUpgradeMainControls,
    kUpgradeMainLabels};

const DialogTemplate kDeviceSelectTemplate = {
    IDD_DEVICE_SELECT, "选择设备", 195, 100, "System", 10, kDeviceSelectControls,
    kDeviceSelectLabels};

const DialogTemplate kAboutBoxTemplate = {
    IDD_ABOUT_BOX, "关于 Kavlet", 235, 55, "宋体", 9, kAboutBoxControls};
