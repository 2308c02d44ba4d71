#include "upgrade/PelcoCommand.h"

#include <cstdio>

std::optional<std::uint32_t> DeviceSpeedForIndex(std::uint8_t speedIndex) {
    if (speedIndex >= DEVICE_SPEED_TABLE.size()) return std::nullopt;
    return DEVICE_SPEED_TABLE[speedIndex];
}

std::array<std::uint8_t, 7> BuildPelcoDStartUpgrade(std::uint8_t address) {
    std::array<std::uint8_t, 7> frame{PELCO_D_SYNC, address};
    std::uint8_t sum = address;
    for (std::size_t i = 0; i < START_UPGRADE_COMMAND.size(); ++i) {
        frame[2 + i] = START_UPGRADE_COMMAND[i];
        sum = static_cast<std::uint8_t>(sum + START_UPGRADE_COMMAND[i]);
    }
    frame[6] = sum;
    return frame;
}

std::array<std::uint8_t, 8> BuildPelcoPStartUpgrade(std::uint8_t address) {
    std::array<std::uint8_t, 8> frame{PELCO_P_START, static_cast<std::uint8_t>(address - 1)};
    for (std::size_t i = 0; i < START_UPGRADE_COMMAND.size(); ++i)
        frame[2 + i] = START_UPGRADE_COMMAND[i];
    frame[6] = PELCO_P_END;
    std::uint8_t check = 0;
    for (std::size_t i = 0; i < 7; ++i) check ^= frame[i];
    frame[7] = check;
    return frame;
}

std::vector<std::uint8_t> BuildStartUpgradeFrame(std::uint8_t address, std::uint8_t protocolIndex) {
    if (protocolIndex == PROTOCOL_INDEX_PELCO_D) {
        const auto frame = BuildPelcoDStartUpgrade(address);
        return {frame.begin(), frame.end()};
    }
    const auto frame = BuildPelcoPStartUpgrade(address);
    return {frame.begin(), frame.end()};
}

std::string FormatCommandHexText(std::span<const std::uint8_t> frame) {
    std::string text;
    char piece[8];
    for (std::size_t i = 0; i < frame.size(); ++i) {
        std::snprintf(piece, sizeof piece, i == 0 ? "%02x " : " %02x",
                      static_cast<unsigned>(frame[i]));
        text += piece;
    }
    return text;
}

std::string GreetingHexText() {
    char text[8];
    std::snprintf(text, sizeof text, "%02x %02x", GREETING_BYTE, GREETING_BYTE);
    return text;
}
