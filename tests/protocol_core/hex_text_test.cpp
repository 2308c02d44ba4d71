// The hex text decoder and the send path's trimming and size limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "serial/HexText.h"
#include "tests/protocol_core/HexTextReference.h"

namespace {

using namespace std::string_view_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kGuardSize = 64;
constexpr std::uint8_t kGuardFill = 0xA5;

// Decodes text with HexTextToBytes as the send path's callers may: the text sits in a buffer of
// exactly its own length (so the sanitizer sees any read past it) and the destination has room
// for half the text plus a guard zone. Fails the test if anything past the decoded bytes changed.
Bytes DecodeGuarded(std::string_view text) {
    const std::vector<char> source(text.begin(), text.end());
    const std::size_t room = text.size() / 2;
    std::vector<std::uint8_t> destination(room + kGuardSize, kGuardFill);

    const std::int32_t count =
        hex_text::HexTextToBytes(std::string_view(source.data(), source.size()), destination.data());

    EXPECT_GE(count, 0);
    EXPECT_LE(std::size_t(count), room) << "decoded more bytes than the text can hold";
    const std::size_t stored = std::min(std::size_t(std::max(count, 0)), room);
    const bool untouched = std::all_of(destination.begin() + std::ptrdiff_t(stored),
                                       destination.end(), [](auto b) { return b == kGuardFill; });
    EXPECT_TRUE(untouched) << "bytes past the decoded ones were written";
    return Bytes(destination.begin(), destination.begin() + std::ptrdiff_t(stored));
}

Bytes SentBytes(std::string_view text) {
    const hex_text::DecodedText decoded = hex_text::DecodeForSending(text);
    EXPECT_LE(decoded.count, decoded.bytes.size());
    return Bytes(
        decoded.bytes.begin(),
        decoded.bytes.begin() + std::ptrdiff_t(std::min(decoded.count, std::size_t(4096))));
}

TEST(HexDigitValue, EveryCharacter) {
    for (int code = 0; code < 256; ++code) {
        const char c = static_cast<char>(code);
        std::uint8_t expected = hex_text::kNotADigit;
        if (code >= '0' && code <= '9') expected = std::uint8_t(code - '0');
        if (code >= 'A' && code <= 'F') expected = std::uint8_t(code - 'A' + 10);
        if (code >= 'a' && code <= 'f') expected = std::uint8_t(code - 'a' + 10);
        EXPECT_EQ(hex_text::HexDigitValue(c), expected) << "character 0x" << std::hex << code;
    }
}

struct DecodeCase {
    const char* name;
    std::string_view text;
    Bytes decoded;  // by HexTextToBytes on the text as it stands
    Bytes sent;     // by the send path, which trims the text first
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.name;
}

class HexTextDecoding : public testing::TestWithParam<DecodeCase> {};

TEST_P(HexTextDecoding, DecodesAndSends) {
    const DecodeCase& c = GetParam();
    EXPECT_EQ(DecodeGuarded(c.text), c.decoded);
    EXPECT_EQ(SentBytes(c.text), c.sent);
}

const DecodeCase kDecodeCases[] = {
    {"BlankBetweenPairs", "3f 3f"sv, {0x3F, 0x3F}, {0x3F, 0x3F}},
    {"NoSeparator", "3F3F"sv, {0x3F, 0x3F}, {0x3F, 0x3F}},
    {"CarriageReturnLineFeed", "3f\r\n3F"sv, {0x3F, 0x3F}, {0x3F, 0x3F}},
    {"MixedCaseInOnePair", "aB"sv, {0xAB}, {0xAB}},
    {"LoneDigitAtEndDropped", "123"sv, {0x12}, {0x12}},
    {"LoneDigitAfterBlankDropped", "12 3"sv, {0x12}, {0x12}},
    {"BadPairStopsDecoding", "12 zz 34"sv, {0x12}, {0x12}},
    {"BlankInsidePair", "4 1"sv, {}, {}},
    {"TabIsNoSeparator", "12\t34"sv, {0x12}, {0x12}},
    {"Empty", ""sv, {}, {}},
    {"OnlyBlanks", "   "sv, {}, {}},
    {"OnlyWhiteSpace", " \t\r\n\v\f"sv, {}, {}},
    {"BlanksAroundAreTrimmed", "  7e  "sv, {0x7E}, {0x7E}},
    // Tab, vertical tab and form feed are no separators, but the send path trims them away.
    {"TabsAroundOnlyTrimmed", "\t7e\t"sv, {}, {0x7E}},
    {"VerticalTabAndFormFeedTrimmed", "\v\f7e\f"sv, {}, {0x7E}},
    {"HighByteWhereHighDigitExpected",
     "12\x80"
     "0"sv,
     {0x12},
     {0x12}},
    {"HighByteWhereLowDigitExpected", "1\xff"sv, {}, {}},
    {"HighByteWithLowBitsOfADigit", "\xb1\xb2"sv, {}, {}},
    {"LetterPastF", "g0"sv, {}, {}},
    {"EmbeddedZeroByte", "12\0 34"sv, {0x12}, {0x12}},
    {"EverySeparatorKind", " \r\n01\n\n\r 02   03"sv, {0x01, 0x02, 0x03}, {0x01, 0x02, 0x03}},
    {"EveryDigit",
     "0123456789abcdefABCDEF"sv,
     {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xAB, 0xCD, 0xEF},
     {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xAB, 0xCD, 0xEF}},
    {"SenderByteFormat", "73 "sv, {0x73}, {0x73}},
    {"PelcoCommandText",
     "ff  01 00 57 00 00 58"sv,
     {0xFF, 0x01, 0x00, 0x57, 0x00, 0x00, 0x58},
     {0xFF, 0x01, 0x00, 0x57, 0x00, 0x00, 0x58}},
};

INSTANTIATE_TEST_SUITE_P(Cases, HexTextDecoding, testing::ValuesIn(kDecodeCases),
                         [](const testing::TestParamInfo<DecodeCase>& param) {
                             return std::string(param.param.name);
                         });

TEST(HexTextTrimming, RemovesWhiteSpaceAtBothEndsOnly) {
    EXPECT_EQ(hex_text::TrimWhiteSpace("  7e  "), "7e");
    EXPECT_EQ(hex_text::TrimWhiteSpace(" \t\n\v\f\r12 \t 34\r\n"), "12 \t 34");
    EXPECT_EQ(hex_text::TrimWhiteSpace(" \t\n\v\f\r"), "");
    EXPECT_EQ(hex_text::TrimWhiteSpace(""), "");
    EXPECT_EQ(hex_text::TrimWhiteSpace("\xa0"
                                       "7e\xa0"),
              "\xa0"
              "7e\xa0");
}

std::string Repeat(std::string_view piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) text += piece;
    return text;
}

TEST(HexTextSizeLimit, LongestTrimmedTextIsDecoded) {
    const std::string longest = Repeat("ab", 2047) + "c";  // 4095 characters
    ASSERT_EQ(longest.size(), hex_text::kMaxTextLength);
    EXPECT_EQ(SentBytes(longest), Bytes(2047, 0xAB));

    const std::string separated = Repeat("5a ", 1365);  // 4095 characters, the last a blank
    EXPECT_EQ(SentBytes(separated), Bytes(1365, 0x5A));
}

TEST(HexTextSizeLimit, WhiteSpaceAroundDoesNotCount) {
    const std::string padding = Repeat(" \t\r\n\v\f", 200);
    const std::string text = padding + Repeat("ab", 2047) + "c" + padding;
    ASSERT_GT(text.size(), 4096u);
    EXPECT_EQ(SentBytes(text), Bytes(2047, 0xAB));
}

TEST(HexTextSizeLimit, LongerTrimmedTextIsRefusedWhole) {
    for (const std::size_t pairs : {2048u, 2049u, 5000u}) {
        SCOPED_TRACE(pairs);
        EXPECT_EQ(hex_text::DecodeForSending(Repeat("ab", pairs)).count, 0u);
        EXPECT_EQ(hex_text::DecodeForSending("  " + Repeat("cd", pairs) + "\t\n").count, 0u);
    }
    // 4096 characters of which only the first and last are digits: white space inside counts.
    const std::string inner = "ab" + std::string(4092, ' ') + "cd";
    ASSERT_EQ(inner.size(), 4096u);
    EXPECT_EQ(hex_text::DecodeForSending(inner).count, 0u);
    const std::string shorter = "ab" + std::string(4091, ' ') + "cd";
    EXPECT_EQ(SentBytes(shorter), (Bytes{0xAB, 0xCD}));
}

// Random texts over an alphabet that hits every branch of the decoder, checked against the
// reference model. Half the texts are built from well-formed pairs so decoding runs long;
// lengths cluster around the send path's limit as well as spreading up to 10000.
class RandomTextSource {
  public:
    explicit RandomTextSource(std::uint32_t seed) : engine_(seed) {}

    std::string Next() {
        const std::size_t length = PickLength();
        std::string text;
        if (Chance(50)) {
            while (text.size() < length) {
                text += Digit();
                text += Digit();
                for (int blanks = Below(4) - 1; blanks > 0; --blanks) text += Separator();
            }
            text.resize(length);
            // At most one defect, anywhere: decoding must stop exactly there.
            if (!text.empty() && Chance(50))
                text[std::size_t(Below(int(text.size())))] = AnyCharacter();
            Padding(text);
        } else {
            while (text.size() < length) text += AnyCharacter();
        }
        return text;
    }

  private:
    bool Chance(int percent) { return Below(100) < percent; }
    int Below(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(engine_); }

    std::size_t PickLength() {
        switch (Below(4)) {
            case 0:
                return std::size_t(Below(40));
            case 1:
                return std::size_t(4090 + Below(12));
            default:
                return std::size_t(Below(10001));
        }
    }

    char Digit() {
        constexpr std::string_view kDigits = "0123456789abcdefABCDEF";
        return kDigits[std::size_t(Below(int(kDigits.size())))];
    }
    char Separator() {
        constexpr std::string_view kSeparators = "  \r\n";
        return kSeparators[std::size_t(Below(int(kSeparators.size())))];
    }
    char AnyCharacter() {
        constexpr std::string_view kOthers = "\t\v\f gGzZ/:@`\0\x7f\x80\xa0\xb0\xc3\xff"sv;
        if (Chance(60)) return Digit();
        if (Chance(40)) return Separator();
        return kOthers[std::size_t(Below(int(kOthers.size())))];
    }
    // White space around the text, which the send path trims and HexTextToBytes does not.
    void Padding(std::string& text) {
        constexpr std::string_view kWhiteSpace = " \t\r\n\v\f";
        std::string before, after;
        if (Chance(30)) {
            for (int n = Below(300); n > 0; --n) before += kWhiteSpace[std::size_t(Below(6))];
        }
        if (Chance(30)) {
            for (int n = Below(300); n > 0; --n) after += kWhiteSpace[std::size_t(Below(6))];
        }
        text = before + text + after;
    }

    std::mt19937 engine_;
};

TEST(HexTextRandomized, MatchesReferenceModel) {
    constexpr std::uint32_t kSeed = 20240611;
    constexpr int kTexts = 3000;
    RandomTextSource source(kSeed);
    int decodedLong = 0;
    int refusedLong = 0;
    for (int i = 0; i < kTexts; ++i) {
        const std::string text = source.Next();
        SCOPED_TRACE(testing::Message()
                     << "seed " << kSeed << ", text " << i << ", length " << text.size());

        const Bytes expected = hex_text_reference::Decode(text);
        ASSERT_EQ(DecodeGuarded(text), expected);

        const Bytes expectedSent = hex_text_reference::DecodeForSending(text);
        ASSERT_EQ(SentBytes(text), expectedSent);

        if (expected.size() > 1000) ++decodedLong;
        if (!expected.empty() && expectedSent.empty()) ++refusedLong;
    }
    // The generator must keep reaching the interesting regions, or the test proves little.
    EXPECT_GT(decodedLong, kTexts / 20);
    EXPECT_GT(refusedLong, kTexts / 20);
}

}  // namespace
