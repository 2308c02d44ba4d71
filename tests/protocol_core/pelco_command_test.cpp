// The start-upgrade command frames, their hex text, the greeting and the speed table.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "serial/HexText.h"
#include "upgrade/PelcoCommand.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct FrameCase {
    std::uint8_t address;
    std::uint8_t protocolIndex;
    Bytes frame;
};

void PrintTo(const FrameCase& c, std::ostream* os) {
    *os << "address " << int(c.address) << ", protocol index " << int(c.protocolIndex);
}

class StartUpgradeFrame : public testing::TestWithParam<FrameCase> {};

TEST_P(StartUpgradeFrame, ExactBytes) {
    const FrameCase& c = GetParam();
    EXPECT_EQ(BuildStartUpgradeFrame(c.address, c.protocolIndex), c.frame);
}

TEST_P(StartUpgradeFrame, HexTextDecodesToTheFrame) {
    const FrameCase& c = GetParam();
    const std::string text = FormatCommandHexText(c.frame);
    std::vector<std::uint8_t> decoded(text.size() / 2);
    decoded.resize(std::size_t(hex_text::HexTextToBytes(text, decoded.data())));
    EXPECT_EQ(decoded, c.frame) << "text: " << text;

    const hex_text::DecodedText sent = hex_text::DecodeForSending(text);
    EXPECT_EQ(Bytes(sent.bytes.begin(), sent.bytes.begin() + std::ptrdiff_t(sent.count)), c.frame);
}

// Pelco-D for protocol index 1 only; index 0, 2 and 255 (no entry selected) all give Pelco-P.
const FrameCase kFrameCases[] = {
    {1, 1, {0xFF, 0x01, 0x00, 0x57, 0x00, 0x00, 0x58}},
    {16, 1, {0xFF, 0x10, 0x00, 0x57, 0x00, 0x00, 0x67}},
    {169, 1, {0xFF, 0xA9, 0x00, 0x57, 0x00, 0x00, 0x00}},  // the sum wraps to 0
    {255, 1, {0xFF, 0xFF, 0x00, 0x57, 0x00, 0x00, 0x56}},
    {1, 0, {0xA0, 0x00, 0x00, 0x57, 0x00, 0x00, 0xAF, 0x58}},
    {16, 0, {0xA0, 0x0F, 0x00, 0x57, 0x00, 0x00, 0xAF, 0x57}},
    {169, 0, {0xA0, 0xA8, 0x00, 0x57, 0x00, 0x00, 0xAF, 0xF0}},
    {255, 0, {0xA0, 0xFE, 0x00, 0x57, 0x00, 0x00, 0xAF, 0xA6}},
    {1, 255, {0xA0, 0x00, 0x00, 0x57, 0x00, 0x00, 0xAF, 0x58}},
    {16, 255, {0xA0, 0x0F, 0x00, 0x57, 0x00, 0x00, 0xAF, 0x57}},
    {169, 255, {0xA0, 0xA8, 0x00, 0x57, 0x00, 0x00, 0xAF, 0xF0}},
    {255, 255, {0xA0, 0xFE, 0x00, 0x57, 0x00, 0x00, 0xAF, 0xA6}},
    {42, 2, {0xA0, 0x29, 0x00, 0x57, 0x00, 0x00, 0xAF, 0x71}},
};

INSTANTIATE_TEST_SUITE_P(Addresses, StartUpgradeFrame, testing::ValuesIn(kFrameCases),
                         [](const testing::TestParamInfo<FrameCase>& param) {
                             return "Address" + std::to_string(param.param.address) + "Protocol" +
                                    std::to_string(param.param.protocolIndex);
                         });

// Every address the device dialog admits: the checksums hold and the text round-trips.
TEST(StartUpgradeFrame, EveryAddressChecksCorrectly) {
    for (int address = 1; address <= 255; ++address) {
        SCOPED_TRACE(address);
        const auto d = BuildPelcoDStartUpgrade(std::uint8_t(address));
        std::uint8_t sum = 0;
        for (int i = 1; i <= 5; ++i) sum = std::uint8_t(sum + d[std::size_t(i)]);
        EXPECT_EQ(d[0], 0xFF);
        EXPECT_EQ(d[1], address);
        EXPECT_EQ(d[6], sum);

        const auto p = BuildPelcoPStartUpgrade(std::uint8_t(address));
        std::uint8_t check = 0;
        for (const auto b : p) check ^= b;
        EXPECT_EQ(p[1], address - 1);
        EXPECT_EQ(p[6], 0xAF);
        EXPECT_EQ(check, 0) << "XOR over all eight bytes must cancel";

        for (const std::uint8_t protocol : {0, 1}) {
            const Bytes frame = BuildStartUpgradeFrame(std::uint8_t(address), protocol);
            const hex_text::DecodedText sent =
                hex_text::DecodeForSending(FormatCommandHexText(frame));
            EXPECT_EQ(Bytes(sent.bytes.begin(), sent.bytes.begin() + std::ptrdiff_t(sent.count)),
                      frame);
        }
    }
}

TEST(CommandHexText, TwoBlanksAfterTheFirstByteOneBetweenOthers) {
    EXPECT_EQ(FormatCommandHexText(BuildStartUpgradeFrame(1, PROTOCOL_INDEX_PELCO_D)),
              "ff  01 00 57 00 00 58");
    EXPECT_EQ(FormatCommandHexText(BuildStartUpgradeFrame(255, PROTOCOL_INDEX_PELCO_P)),
              "a0  fe 00 57 00 00 af a6");
    EXPECT_EQ(FormatCommandHexText(Bytes{0x0A}), "0a ");
    EXPECT_EQ(FormatCommandHexText(Bytes{}), "");
}

TEST(Greeting, TextIsTwoQuestionMarkBytes) {
    EXPECT_EQ(GreetingHexText(), "3f 3f");
    const hex_text::DecodedText sent = hex_text::DecodeForSending(GreetingHexText());
    ASSERT_EQ(sent.count, 2u);
    EXPECT_EQ(sent.bytes[0], 0x3F);
    EXPECT_EQ(sent.bytes[1], 0x3F);
}

TEST(DeviceSpeed, TablePositionsAndOutOfRange) {
    const std::uint32_t expected[] = {2400,  4800,   9600,   19200,  38400,
                                      57600, 115200, 128000, 256000, 921600};
    for (std::uint8_t index = 0; index < 10; ++index) {
        EXPECT_EQ(DeviceSpeedForIndex(index), std::optional(expected[index])) << int(index);
    }
    for (const std::uint8_t index : {10, 11, 128, 254, 255}) {
        EXPECT_EQ(DeviceSpeedForIndex(index), std::nullopt) << int(index);
    }
}

}  // namespace
