// A plain restatement of the hex text rules, written independently of serial/HexText.cpp, that
// the randomized test and the fuzz driver compare the decoder against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace hex_text_reference {

// Longest trimmed text the send path decodes; longer ones are refused whole.
inline constexpr std::size_t kLongestSendableText = 4095;

inline int DigitOf(char c) {
    constexpr std::string_view kUpper = "0123456789ABCDEF";
    constexpr std::string_view kLower = "0123456789abcdef";
    if (const auto at = kUpper.find(c); at != std::string_view::npos) return int(at);
    if (const auto at = kLower.find(c); at != std::string_view::npos) return int(at);
    return -1;
}

inline bool IsSeparator(char c) {
    return c == ' ' || c == '\r' || c == '\n';
}

inline bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Skip separators, take two adjacent digits, repeat; stop at anything else.
inline std::vector<std::uint8_t> Decode(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    std::size_t at = 0;
    for (;;) {
        while (at < text.size() && IsSeparator(text[at])) ++at;
        if (text.size() - at < 2) break;
        const int high = DigitOf(text[at]);
        const int low = DigitOf(text[at + 1]);
        if (high < 0 || low < 0) break;
        bytes.push_back(std::uint8_t(high << 4 | low));
        at += 2;
    }
    return bytes;
}

// What the send path writes: trim white space at both ends, refuse an over-long text.
inline std::vector<std::uint8_t> DecodeForSending(std::string_view text) {
    while (!text.empty() && IsWhiteSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsWhiteSpace(text.back())) text.remove_suffix(1);
    if (text.size() > kLongestSendableText) return {};
    return Decode(text);
}

}  // namespace hex_text_reference
