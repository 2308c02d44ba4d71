// Resource identifiers: dialog templates, controls, the icon, the string and the command.
#pragma once

// Dialog templates
inline constexpr int IDD_ABOUT_BOX = 100;
inline constexpr int IDD_UPGRADE_MAIN = 102;
inline constexpr int IDD_DEVICE_SELECT = 130;

// Icon, string, system-menu command
inline constexpr int IDI_APP_ICON = 128;
inline constexpr int IDS_ABOUT_MENU = 101;
inline constexpr unsigned IDM_ABOUT_BOX = 0x0010;

// Controls without an identifier of their own
inline constexpr int IDC_STATIC = -1;
inline constexpr int IDOK = 1;

// Main window
inline constexpr int IDC_FILE_PATH = 1000;
inline constexpr int IDC_PROGRESS = 1001;
inline constexpr int IDC_SELECT_FILE = 1002;
inline constexpr int IDC_START_UPGRADE = 1003;
inline constexpr int IDC_INSTRUCTIONS = 1004;
inline constexpr int IDC_PORT_LIST = 1005;
inline constexpr int IDC_PORT_LABEL = 1007;
inline constexpr int IDC_PROGRESS_LABEL = 1008;
inline constexpr int IDC_OPEN_PORT = 1009;
inline constexpr int IDC_CONNECT = 1011;
inline constexpr int IDC_SENT_COUNT = 1013;
inline constexpr int IDC_FILE_STATUS = 1014;
inline constexpr int IDC_TOTAL_COUNT = 1015;

// Device dialog
inline constexpr int IDC_PROTOCOL_LABEL = 1017;
inline constexpr int IDC_BAUD_LABEL = 1019;
inline constexpr int IDC_ADDRESS = 1021;
inline constexpr int IDC_PROTOCOL = 1023;
inline constexpr int IDC_BAUD = 1024;
inline constexpr int IDC_START_DEVICE = 1025;
