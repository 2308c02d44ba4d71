// Reading the typed bus address, and where the minimised window's icon goes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>

#include "present/IconPlacement.h"
#include "upgrade/DeviceAddress.h"

namespace {

struct AddressCase {
    std::string text;
    std::optional<std::uint8_t> address;
};

// The text with non-printable bytes escaped and long texts shortened, for test listings.
void PrintTo(const AddressCase& c, std::ostream* os) {
    *os << "text \"";
    for (std::size_t i = 0; i < c.text.size() && i < 24; ++i) {
        const auto u = static_cast<unsigned char>(c.text[i]);
        if (u >= 0x20 && u < 0x7F) {
            *os << c.text[i];
        } else {
            constexpr char kHex[] = "0123456789abcdef";
            *os << "\\x" << kHex[u >> 4] << kHex[u & 15];
        }
    }
    if (c.text.size() > 24) *os << "... (" << c.text.size() << " characters)";
    *os << '"';
}

class DeviceAddressText : public testing::TestWithParam<AddressCase> {};

TEST_P(DeviceAddressText, ReadsLikeAtoiWithinOneTo255) {
    EXPECT_EQ(ParseDeviceAddress(GetParam().text), GetParam().address);
}

const AddressCase kAddressCases[] = {
    {"1", 1},
    {"255", 255},
    {" 42", 42},
    {"12abc", 12},
    {"+7", 7},
    {"007", 7},
    {"42 ", 42},
    {"200x300", 200},
    {"1.9", 1},
    {"\t\n 9", 9},
    {"\v\f\r5", 5},
    {std::string(1000, '0') + "1", 1},  // leading zeros never grow the value
    {"0", std::nullopt},
    {"256", std::nullopt},
    {"-3", std::nullopt},
    {"-0", std::nullopt},
    {"abc", std::nullopt},
    {"", std::nullopt},
    {"   ", std::nullopt},
    {"+", std::nullopt},
    {"-", std::nullopt},
    {"+-5", std::nullopt},
    {"+ 5", std::nullopt},
    {"x12", std::nullopt},
    {"\xa0"
     "5",
     std::nullopt},                  // no white space outside the C locale's
    {"\xef\xbc\x95", std::nullopt},  // a full-width digit
    // Values that wrap a 32-bit atoi into range must stay out of range.
    {"4294967297", std::nullopt},
    {"4294967296", std::nullopt},
    {"2147483648", std::nullopt},
    {"-2147483648", std::nullopt},
    {"-4294967295", std::nullopt},
    {"99999999999", std::nullopt},
    {"18446744073709551617", std::nullopt},
    {std::string(1, '1').append(1000, '0'), std::nullopt},
    {std::string(5000, '9'), std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Texts, DeviceAddressText, testing::ValuesIn(kAddressCases));

// Short texts cannot overflow atoi, so there the library's own atoi is the reference.
TEST(DeviceAddressText, AgreesWithAtoiOnShortTexts) {
    constexpr std::string_view kAlphabet = "0123456789012345678925  \t\n+-x.\xa0";
    std::mt19937 engine(5);
    std::uniform_int_distribution<std::size_t> length(0, 7);
    std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        for (std::size_t n = length(engine); n > 0; --n) text += kAlphabet[pick(engine)];
        const int value = std::atoi(text.c_str());
        const std::optional<std::uint8_t> expected =
            value >= 1 && value <= 255 ? std::optional(std::uint8_t(value)) : std::nullopt;
        ASSERT_EQ(ParseDeviceAddress(text), expected) << "text \"" << text << '"';
    }
}

struct IconCase {
    std::int32_t clientWidth, clientHeight, iconWidth, iconHeight;
    std::int32_t x, y;
};

void PrintTo(const IconCase& c, std::ostream* os) {
    *os << "client " << c.clientWidth << "x" << c.clientHeight << ", icon " << c.iconWidth << "x"
        << c.iconHeight;
}

class IconPlacement : public testing::TestWithParam<IconCase> {};

TEST_P(IconPlacement, CentredWithTruncatingDivision) {
    const IconCase& c = GetParam();
    const IconPosition at =
        CenteredIconPosition(c.clientWidth, c.clientHeight, c.iconWidth, c.iconHeight);
    EXPECT_EQ(at.x, c.x);
    EXPECT_EQ(at.y, c.y);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, IconPlacement,
    testing::Values(IconCase{36, 36, 32, 32, 2, 2}, IconCase{0, 0, 32, 32, -15, -15},
                    IconCase{1, 2, 32, 32, -15, -14}, IconCase{31, 32, 32, 32, 0, 0},
                    IconCase{33, 34, 32, 32, 1, 1}, IconCase{100, 50, 32, 16, 34, 17},
                    IconCase{0, 0, 0, 0, 0, 0}));

static_assert(CenteredIconPosition(0, 0, 32, 32).x == -15, "truncates toward zero");

}  // namespace
