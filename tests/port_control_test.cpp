// The serial layer under the main window on pseudo-terminals: the port held while open and
// given back when closed, one receive loop, nothing leaked, bytes whole and in order, what is no
// serial device refused, a port that vanishes, writes from two threads. What the window shows
// for each is the presenter's (tests/presenter_test.cpp).
#include <QComboBox>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "serial/ReceiveLoop.h"
#include "serial/posix/PosixSerialLine.h"
#include "tests/support/ChunkSpy.h"
#include "tests/support/LineRecorder.h"
#include "tests/support/WindowFixture.h"

using namespace std::chrono_literals;

namespace {

int OpenDescriptorCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// True when another program could take the device now (nobody holds it).
bool DeviceIsFree(const std::string& path) {
    return PosixSerialLine::Open(path).line != nullptr;
}

}  // namespace

class PortControlTest : public WindowFixture {
  protected:
    bool LoopsRunning(int count) {
        return ProcessEventsUntil([&] { return ReceiveLoop::RunningCount() == count; });
    }
};

TEST_F(PortControlTest, COM1IsHeldWhileOpenAndGivenBackWhenClosedWithOneLoopAndNothingLeaked) {
    CreateWindow();
    // COM1 to COM50, then whatever adapters this machine has.
    ASSERT_EQ(window->portList->count(), static_cast<int>(UpgradePresenter::PortChoices().size()));
    EXPECT_EQ(window->portList->itemText(49), QStringLiteral("COM50"));
    EXPECT_EQ(window->portList->currentIndex(), 0);
    EXPECT_EQ(com1->BaudRate(), 115200u);
    EXPECT_FALSE(DeviceIsFree(com1->SlavePath())) << "an open port is held exclusively";
    const int descriptorsWhileOpen = OpenDescriptorCount();
    for (int cycle = 0; cycle < 25; ++cycle) {
        window->OnOpenPortButton();
        EXPECT_TRUE(LoopsRunning(0));
        EXPECT_TRUE(DeviceIsFree(com1->SlavePath())) << "closing gives the port back";
        window->OnOpenPortButton();
        EXPECT_EQ(ReceiveLoop::RunningCount(), 1);
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptorsWhileOpen);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(PortControlTest, ReceivedBytesReachTheWindowWholeAndInOrder) {
    CreateWindow();
    ChunkSpy spy;
    spy.Watch(window->Engine());
    // The line runs XON/XOFF: 0x11 and 0x13 from the far side are flow control, never data.
    std::vector<std::uint8_t> sent;
    for (std::size_t i = 0; sent.size() < 5000; ++i) {
        const auto byte = static_cast<std::uint8_t>(i * 7 + 3);
        if (byte != 0x11 && byte != 0x13) sent.push_back(byte);
    }
    ASSERT_TRUE(com1->Write(sent));
    ASSERT_TRUE(ProcessEventsUntil([&] { return spy.TotalBytes() >= sent.size(); }));
    std::vector<std::uint8_t> received;
    for (const auto& chunk : spy.chunks) {
        EXPECT_GE(chunk.size(), 1u);
        EXPECT_LE(chunk.size(), 4096u);
        received.insert(received.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(received, sent);
    // The handler saw the first byte of the last chunk.
    EXPECT_EQ(window->Engine().LastResponse(), spy.chunks.back().front());

    // Bytes that arrive while the loop waits are delivered too.
    spy.chunks.clear();
    ProcessEventsFor(50ms);
    ASSERT_TRUE(com1->Write({0x85}));
    ASSERT_TRUE(ProcessEventsUntil([&] { return spy.TotalBytes() == 1; }));
    EXPECT_EQ(spy.chunks.front(), std::vector<std::uint8_t>{0x85});
}

TEST_F(PortControlTest, SomethingThatIsNoSerialDeviceIsRefusedAndNothingIsHeld) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("kavlet-port-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const auto regularFile = folder / "image.bin";
    std::FILE* f = std::fopen(regularFile.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("not a terminal", f);
    std::fclose(f);

    CreateWindow();
    const int descriptorsBefore = OpenDescriptorCount() - 1;  // COM1's two descriptors go
    const QString notPorts[] = {QStringLiteral("/dev/null"),
                                QString::fromStdString(regularFile.string()),
                                QString::fromStdString(folder.string()),
                                QStringLiteral("/nonexistent/ttyUSB9"),
                                QStringLiteral("COM0"),
                                QStringLiteral("ttyUSB0")};
    for (std::size_t i = 0; i < std::size(notPorts); ++i) {
        SCOPED_TRACE(notPorts[i].toStdString());
        window->portList->setEditText(notPorts[i]);
        window->OnPortListChange();
        EXPECT_TRUE(LoopsRunning(0));
    }
    EXPECT_EQ(BoxTexts(),
              std::vector<QString>(std::size(notPorts), QStringLiteral("串口打开错误")));
    EXPECT_LE(OpenDescriptorCount(), descriptorsBefore);
    std::filesystem::remove_all(folder);
}

TEST_F(PortControlTest, APortThatDisappearsIsClosedAndToldAndAnotherCanBeOpened) {
    CreateWindow();
    ASSERT_NE(window->Engine().CurrentReceiveLoop(), nullptr);
    com1->CloseMaster();  // the adapter is pulled
    // The loop ends with a failure; the window closes its side and says so.
    ASSERT_TRUE(ProcessEventsUntil([&] { return !boxes.empty(); }));
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("串口已断开!")});
    EXPECT_TRUE(LoopsRunning(0));
    EXPECT_EQ(window->Engine().CurrentReceiveLoop(), nullptr);

    window->portList->setCurrentIndex(1);
    window->OnPortListChange();
    EXPECT_EQ(ReceiveLoop::RunningCount(), 1);
    ASSERT_TRUE(com2->Write({0x80}));
    EXPECT_TRUE(ProcessEventsUntil([&] { return window->Engine().LastResponse() == 0x80; }));
}

TEST_F(PortControlTest, ClosingTheWindowEndsTheLoopAndReleasesThePort) {
    CreateWindow();
    ASSERT_TRUE(com1->Write({0x01, 0x02, 0x03}));
    window.reset();
    EXPECT_EQ(ReceiveLoop::RunningCount(), 0);
    EXPECT_TRUE(DeviceIsFree(com1->SlavePath()));
}

TEST_F(PortControlTest, WritesFromTwoThreadsNeverInterleave) {
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
    const std::vector<std::uint8_t> all = line.Bytes();
    for (std::size_t i = 0; i < all.size(); i += 64) {
        for (std::size_t j = 1; j < 64; ++j) ASSERT_EQ(all[i + j], all[i]) << "block at " << i;
    }
}
