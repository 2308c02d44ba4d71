// Reading the bus address the operator typed into the device dialog. Pure function.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

inline constexpr int MIN_DEVICE_ADDRESS = 1;
inline constexpr int MAX_DEVICE_ADDRESS = 255;

// Reads the text as atoi does (leading blanks, an optional sign, decimal digits up to the
// first other character; no digits reads as 0) and gives the address when it is 1 to 255.
// Unlike atoi it never overflows: "4294967297" is out of range, not 1.
std::optional<std::uint8_t> ParseDeviceAddress(std::string_view text);
