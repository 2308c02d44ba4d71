// The send path, the greeting and the start-upgrade command as the head sees them on the line.
#include <QPushButton>
#include <thread>

#include "tests/support/LineRecorder.h"
#include "tests/support/WindowFixture.h"
#include "upgrade/PelcoCommand.h"

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

class HandshakeTest : public WindowFixture {
protected:
    void SelectDevice(DeviceSelection selection) { window->OnDeviceSelected(selection); }
};

TEST_F(HandshakeTest, SendHexTextWritesTheDecodedBytesInOneWrite) {
    CreateWindow();
    window->SendHexText("  7e \r\n0A1b  ");
    EXPECT_EQ(com1->Read(3, 2s), (Bytes{0x7E, 0x0A, 0x1B}));
    // Texts that decode to nothing, or stop early, write nothing more than they decode.
    window->SendHexText("");
    window->SendHexText(" \t\r\n ");
    window->SendHexText("4 1");
    window->SendHexText("12\t34");
    window->SendHexText(std::string(5000, '0'));  // longer than the work area: refused whole
    EXPECT_EQ(com1->ReadUntilQuiet(100ms), (Bytes{0x12}));
}

TEST_F(HandshakeTest, ConnectSendsTheGreetingWhateverTheState) {
    CreateWindow();
    window->OnConnect();
    window->OnConnect();
    EXPECT_EQ(com1->Read(4, 2s), (Bytes{0x3F, 0x3F, 0x3F, 0x3F}));
    window->OnOpenPortButton();  // closed: the greeting reaches no line
    window->OnConnect();
    EXPECT_TRUE(com1->ReadUntilQuiet(100ms).empty());
    EXPECT_TRUE(boxes.empty());
}

struct CommandCase {
    std::uint8_t address;
    std::uint8_t protocol;
    std::uint8_t speedIndex;
    std::uint32_t commandBaud;
    Bytes command;
};

class DeviceSelectionTest : public HandshakeTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(DeviceSelectionTest, CommandGoesOutAtTheHeadsSpeedAndTheLineReturnsTo115200) {
    const CommandCase& c = GetParam();
    CreateWindow();
    LineRecorder line(com1->MasterFd());
    LineSettings().baudRate = 115200;
    SelectDevice({c.address, c.protocol, c.speedIndex});

    ASSERT_TRUE(line.WaitForBytes(c.command.size(), 2s));
    EXPECT_EQ(line.Bytes(), c.command);
    for (const auto& chunk : line.Chunks()) EXPECT_EQ(chunk.baudRate, c.commandBaud);
    EXPECT_EQ(LineSettings().baudRate, 115200u);
    EXPECT_EQ(com1->BaudRate(), 115200u);
    EXPECT_TRUE(State().portOpen);
    EXPECT_TRUE(window->connectButton->isEnabled());
    EXPECT_TRUE(boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Heads, DeviceSelectionTest,
    ::testing::Values(
        CommandCase{1, 1, 0, 2400, {0xFF, 0x01, 0x00, 0x57, 0x00, 0x00, 0x58}},
        CommandCase{1, 0, 1, 4800, {0xA0, 0x00, 0x00, 0x57, 0x00, 0x00, 0xAF, 0x58}},
        CommandCase{169, 1, 7, 128000, {0xFF, 0xA9, 0x00, 0x57, 0x00, 0x00, 0x00}},
        CommandCase{255, 255, 8, 256000, {0xA0, 0xFE, 0x00, 0x57, 0x00, 0x00, 0xAF, 0xA6}},
        CommandCase{16, 0, 9, 921600, {0xA0, 0x0F, 0x00, 0x57, 0x00, 0x00, 0xAF, 0x57}},
        CommandCase{5, 1, 10, 115200, {0xFF, 0x05, 0x00, 0x57, 0x00, 0x00, 0x5C}}));

TEST_F(HandshakeTest, ASelectionWhileThePortIsClosedWritesNothingAndShowsNothing) {
    CreateWindow();
    window->OnOpenPortButton();
    LineSettings().baudRate = 9600;
    SelectDevice({1, 1, 0});
    EXPECT_TRUE(com1->ReadUntilQuiet(100ms).empty());
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(LineSettings().baudRate, 115200u);
    EXPECT_FALSE(State().portOpen);
    EXPECT_FALSE(window->connectButton->isEnabled());
}

TEST_F(HandshakeTest, SpeedIndexTenLeavesTheSpeedAloneForTheCommand) {
    CreateWindow();
    LineSettings().baudRate = 57600;  // as if the window had been left at another speed
    LineRecorder line(com1->MasterFd());
    SelectDevice({1, 1, 10});
    ASSERT_TRUE(line.WaitForBytes(7, 2s));
    for (const auto& chunk : line.Chunks()) EXPECT_EQ(chunk.baudRate, 57600u);
    EXPECT_EQ(com1->BaudRate(), 115200u);
}

TEST_F(HandshakeTest, WritesFromTwoThreadsNeverInterleave) {
    CreateWindow();
    LineRecorder line(com1->MasterFd());
    // Each text is one write of 64 equal bytes; the two threads write different bytes.
    auto block = [](const char* pair) {
        std::string text;
        for (int i = 0; i < 64; ++i) text += std::string(pair) + " ";
        return text;
    };
    const std::string a = block("a5"), b = block("5a");
    constexpr int kRounds = 100;
    std::thread other([&] {
        for (int i = 0; i < kRounds; ++i) window->SendHexText(a);
    });
    for (int i = 0; i < kRounds; ++i) window->SendHexText(b);
    other.join();
    ASSERT_TRUE(line.WaitForBytes(2 * kRounds * 64, 5s));
    const Bytes all = line.Bytes();
    for (std::size_t i = 0; i < all.size(); i += 64) {
        for (std::size_t j = 1; j < 64; ++j) ASSERT_EQ(all[i + j], all[i]) << "block at " << i;
    }
}
