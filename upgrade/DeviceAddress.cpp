#include "upgrade/DeviceAddress.h"

std::optional<std::uint8_t> ParseDeviceAddress(std::string_view text) {
    std::size_t i = 0;
    // atoi skips what isspace() calls white space in the C locale.
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        // Past 255 the value can only stay out of range; stop growing it before it could wrap.
        if (value <= MAX_DEVICE_ADDRESS) value = value * 10 + (text[i] - '0');
    }
    if (negative) value = -value;
    if (value < MIN_DEVICE_ADDRESS || value > MAX_DEVICE_ADDRESS) return std::nullopt;
    return static_cast<std::uint8_t>(value);
}
