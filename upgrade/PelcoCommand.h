// The start-upgrade command that switches a camera head into its loader, sent once at the
// head's own line speed, and the greeting sent to the loader afterwards. Pure functions.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// What the device dialog reports with WM_DEVICE_SELECTED: three bytes, passed by address.
struct DeviceSelection {
    std::uint8_t address = 0;  // the head's bus address, 1 to 255
    std::uint8_t protocolIndex =
        0;                        // position in the protocol list: 1 Pelco-D, anything else Pelco-P
    std::uint8_t speedIndex = 0;  // position in DEVICE_SPEED_TABLE; 10 and up: speed unchanged
};
static_assert(sizeof(DeviceSelection) == 3);

inline constexpr std::uint8_t PROTOCOL_INDEX_PELCO_P = 0;
inline constexpr std::uint8_t PROTOCOL_INDEX_PELCO_D = 1;

// The heads' normal line speeds in baud, by position in the device dialog's speed list.
inline constexpr std::array<std::uint32_t, 10> DEVICE_SPEED_TABLE = {
    2400, 4800, 9600, 19200, 38400, 57600, 115200, 128000, 256000, 921600};

// Line speed of the loader, and of all traffic after the start-upgrade command, in baud.
inline constexpr std::uint32_t UPGRADE_BAUD_RATE = 115200;

// The table's speed for an index, or nothing for an index past its end.
std::optional<std::uint32_t> DeviceSpeedForIndex(std::uint8_t speedIndex);

// Command bytes of the start-upgrade command: Pelco-D command 1, command 2, data 1, data 2;
// Pelco-P data 1 to data 4.
inline constexpr std::array<std::uint8_t, 4> START_UPGRADE_COMMAND = {0x00, 0x57, 0x00, 0x00};

inline constexpr std::uint8_t PELCO_D_SYNC = 0xFF;   // first byte of a Pelco-D frame
inline constexpr std::uint8_t PELCO_P_START = 0xA0;  // first byte of a Pelco-P frame
inline constexpr std::uint8_t PELCO_P_END = 0xAF;    // seventh byte of a Pelco-P frame

// FF, address, 00 57 00 00, 8-bit sum of bytes 2 to 6.
std::array<std::uint8_t, 7> BuildPelcoDStartUpgrade(std::uint8_t address);
// A0, address - 1 (8 bits), 00 57 00 00, AF, XOR of bytes 1 to 7.
std::array<std::uint8_t, 8> BuildPelcoPStartUpgrade(std::uint8_t address);
// Pelco-D for protocol index 1, Pelco-P for every other index.
std::vector<std::uint8_t> BuildStartUpgradeFrame(std::uint8_t address, std::uint8_t protocolIndex);

// The frame as hex text: the first byte as "%02x ", every following one as " %02x", so two
// blanks stand between the first and second byte and one between the others.
std::string FormatCommandHexText(std::span<const std::uint8_t> frame);

// The greeting 3F 3F as hex text: "3f 3f".
std::string GreetingHexText();
inline constexpr std::uint8_t GREETING_BYTE = 0x3F;
