// Hex text: the textual form in which every outgoing byte is handed to the send path.
// A byte is two adjacent hexadecimal digits (0-9, A-F, a-f, cases may mix), high half first.
// Before a pair any number of blanks (0x20), carriage returns (0x0D) and line feeds (0x0A)
// may stand; no other character separates pairs (a tab does not).
//
// Pure functions: no state, no I/O, callable from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace hex_text {

// Size of each of the send path's two working areas: the trimmed text with its terminating
// zero byte, and the decoded bytes.
inline constexpr std::size_t kWorkAreaSize = 4096;
// Longest trimmed text the send path accepts (the area holds it and its terminating zero).
inline constexpr std::size_t kMaxTextLength = kWorkAreaSize - 1;
// Value HexDigitValue gives for a character that is no hexadecimal digit.
inline constexpr std::uint8_t kNotADigit = 0xFF;

// 0-15 for a hexadecimal digit, kNotADigit for every other character (0x80 and up included).
std::uint8_t HexDigitValue(char c);

// Decodes pairs into destination until the text ends, a pair is not two adjacent digits, or
// one character is left over. Returns the number of bytes stored. destination must have room
// for text.size() / 2 bytes.
std::int32_t HexTextToBytes(std::string_view text, std::uint8_t* destination);

// The text with leading and trailing white space (blank, tab, LF, VT, FF, CR) removed.
std::string_view TrimWhiteSpace(std::string_view text);

// What the send path writes for a text: the trimmed text decoded into bytes. A trimmed text
// longer than kMaxTextLength is refused whole (count 0), so nothing past the work areas is
// ever read or written.
struct DecodedText {
    std::array<std::uint8_t, kWorkAreaSize> bytes;  // the first count bytes are the result
    std::size_t count = 0;
};
DecodedText DecodeForSending(std::string_view text);

}  // namespace hex_text
