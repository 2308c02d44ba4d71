#include "serial/HexText.h"

#include <algorithm>

namespace hex_text {

std::uint8_t HexDigitValue(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= '0' && u <= '9') return static_cast<std::uint8_t>(u - '0');
    if (u >= 'A' && u <= 'F') return static_cast<std::uint8_t>(u - 'A' + 10);
    if (u >= 'a' && u <= 'f') return static_cast<std::uint8_t>(u - 'a' + 10);
    return kNotADigit;
}

std::int32_t HexTextToBytes(std::string_view text, std::uint8_t* destination) {
    std::int32_t count = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == ' ' || c == '\r' || c == '\n') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size()) break;  // a lone character at the end
        const std::uint8_t high = HexDigitValue(text[i]);
        const std::uint8_t low = HexDigitValue(text[i + 1]);
        if (high == kNotADigit || low == kNotADigit) break;
        destination[count++] = static_cast<std::uint8_t>(high * 16 + low);
        i += 2;
    }
    return count;
}

std::string_view TrimWhiteSpace(std::string_view text) {
    constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";
    const auto first = text.find_first_not_of(kWhiteSpace);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(kWhiteSpace);
    return text.substr(first, last - first + 1);
}

DecodedText DecodeForSending(std::string_view text) {
    DecodedText result;
    const std::string_view trimmed = TrimWhiteSpace(text);
    if (trimmed.size() > kMaxTextLength) return result;
    // At most 4095 characters give at most 2047 bytes: the area always has room. The decoder
    // reads no further than the text, so no zero-terminated copy of it is needed; this runs
    // once for every byte of every frame.
    result.count = static_cast<std::size_t>(HexTextToBytes(trimmed, result.bytes.data()));
    return result;
}

}  // namespace hex_text
