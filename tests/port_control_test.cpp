// The main window's side of the port: start-up, opening, closing, moving to another port,
// reopening, the receive loop, and what the operator is told when a port cannot be opened.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <cstdio>
#include <filesystem>

#include "res/resource.h"
#include "serial/ReceiveLoop.h"
#include "serial/posix/PosixSerialLine.h"
#include "tests/support/ChunkSpy.h"
#include "tests/support/WindowFixture.h"

using namespace std::chrono_literals;

namespace {

int OpenDescriptorCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

// True when another program could take the device now (nobody holds it).
bool DeviceIsFree(const std::string& path) {
    return PosixSerialLine::Open(path).line != nullptr;
}

}  // namespace

class PortControlTest : public WindowFixture {
protected:
    QPushButton* OpenButton() const { return window->ControlAs<QPushButton>(IDC_OPEN_PORT); }
    void ExpectOpenState() {
        EXPECT_TRUE(State().portOpen);
        EXPECT_EQ(OpenButton()->text(), QStringLiteral("关闭串口"));
        EXPECT_TRUE(window->selectFileButton->isEnabled());
        EXPECT_EQ(ReceiveLoop::RunningCount(), 1);
    }
    void ExpectClosedState() {
        EXPECT_FALSE(State().portOpen);
        EXPECT_EQ(OpenButton()->text(), QStringLiteral("打开串口"));
        EXPECT_FALSE(window->selectFileButton->isEnabled());
        EXPECT_TRUE(ProcessEventsUntil([] { return ReceiveLoop::RunningCount() == 0; }));
    }
    void TypePort(const QString& text) const {
        window->portList->setEditText(text);
    }
    void ExpectOpenErrorBox(std::size_t index) const {
        ASSERT_GT(boxes.size(), index);
        EXPECT_EQ(boxes[index].text, QStringLiteral("串口打开错误"));
        EXPECT_EQ(boxes[index].caption, QStringLiteral("Open Com"));
        EXPECT_EQ(boxes[index].icon, MessageIcon::Exclamation);
    }
};

TEST_F(PortControlTest, StartUpOpensCom1At115200WithEveryControlInItsFirstState) {
    CreateWindow();
    EXPECT_TRUE(boxes.empty());
    ExpectOpenState();
    EXPECT_FALSE(window->connectButton->isEnabled());
    EXPECT_FALSE(window->startUpgradeButton->isEnabled());
    EXPECT_TRUE(window->progressBar->isHidden());
    EXPECT_EQ(LineSettings().baudRate, 115200u);
    EXPECT_EQ(com1->BaudRate(), 115200u);
    ASSERT_EQ(window->portList->count(), 50);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(window->portList->itemText(i), QStringLiteral("COM%1").arg(i + 1));
    EXPECT_EQ(window->portList->currentIndex(), 0);
    EXPECT_EQ(LineSettings().portName, "COM1");
    EXPECT_FALSE(DeviceIsFree(com1->SlavePath())) << "an open port is held exclusively";
}

TEST_F(PortControlTest, StartUpWithoutCom1ShowsTheOpenErrorAndStaysClosed) {
    com1.reset();
    CreateWindow();
    ASSERT_EQ(boxes.size(), 1u);
    ExpectOpenErrorBox(0);
    ExpectClosedState();
    EXPECT_FALSE(window->connectButton->isEnabled());
    EXPECT_FALSE(window->startUpgradeButton->isEnabled());
}

TEST_F(PortControlTest, OpenCloseCyclesKeepExactlyOneLoopAndLeakNothing) {
    CreateWindow();
    window->OnReopenPort();  // connect enabled: the button leaves it and start alone
    const int descriptorsWhileOpen = OpenDescriptorCount();
    for (int cycle = 0; cycle < 25; ++cycle) {
        window->OnOpenPortButton();
        ExpectClosedState();
        EXPECT_TRUE(DeviceIsFree(com1->SlavePath())) << "closing gives the port back";
        window->OnOpenPortButton();
        ExpectOpenState();
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptorsWhileOpen);
    EXPECT_TRUE(window->connectButton->isEnabled());
    EXPECT_FALSE(window->startUpgradeButton->isEnabled());
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

TEST_F(PortControlTest, ChoosingAnotherPortMovesTheLoopToIt) {
    CreateWindow();
    ChunkSpy spy;
    spy.Watch(window->Engine());
    window->portList->setCurrentIndex(1);
    window->OnPortListChange();
    ExpectOpenState();
    EXPECT_EQ(LineSettings().portName, "COM2");
    EXPECT_TRUE(DeviceIsFree(com1->SlavePath()));
    EXPECT_FALSE(DeviceIsFree(com2->SlavePath()));

    // Nothing from the old port reaches the window; bytes from the new one do.
    ASSERT_TRUE(com1->Write({0x11, 0x22}));
    ASSERT_TRUE(com2->Write({0x33}));
    ASSERT_TRUE(ProcessEventsUntil([&] { return spy.TotalBytes() >= 1; }));
    ProcessEventsFor(50ms);
    ASSERT_EQ(spy.chunks.size(), 1u);
    EXPECT_EQ(spy.chunks.front(), std::vector<std::uint8_t>{0x33});

    // While closed, choosing a port just opens it.
    window->OnOpenPortButton();
    ExpectClosedState();
    window->portList->setCurrentIndex(0);
    window->OnPortListChange();
    ExpectOpenState();
    EXPECT_EQ(LineSettings().portName, "COM1");
}

TEST_F(PortControlTest, ChoosingAMissingPortClosesTheOldOneAndReportsTheError) {
    CreateWindow();
    window->portList->setCurrentIndex(2);  // COM3 does not exist
    window->OnPortListChange();
    ExpectOpenErrorBox(0);
    ExpectClosedState();
    EXPECT_TRUE(DeviceIsFree(com1->SlavePath()));
}

TEST_F(PortControlTest, ATypedDevicePathIsOpenedAsItStands) {
    CreateWindow();
    TypePort(QString::fromStdString(com2->SlavePath()));
    window->OnPortListChange();
    ExpectOpenState();
    EXPECT_EQ(LineSettings().portName, com2->SlavePath());
    EXPECT_FALSE(DeviceIsFree(com2->SlavePath()));
    EXPECT_TRUE(boxes.empty());
}

TEST_F(PortControlTest, SomethingThatIsNoSerialDeviceIsRefusedAndNothingIsHeld) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                         ("kavlet-port-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const auto regularFile = folder / "image.bin";
    std::FILE* f = std::fopen(regularFile.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("not a terminal", f);
    std::fclose(f);

    CreateWindow();
    const int descriptorsBefore = OpenDescriptorCount() - 1;  // COM1's two descriptors go
    const QString notPorts[] = {QStringLiteral("/dev/null"), QString::fromStdString(regularFile.string()),
                                QString::fromStdString(folder.string()), QStringLiteral("/nonexistent/ttyUSB9"),
                                QStringLiteral("COM0"), QStringLiteral("ttyUSB0")};
    for (std::size_t i = 0; i < std::size(notPorts); ++i) {
        SCOPED_TRACE(notPorts[i].toStdString());
        TypePort(notPorts[i]);
        window->OnPortListChange();
        ExpectOpenErrorBox(i);
        ExpectClosedState();
    }
    EXPECT_EQ(boxes.size(), std::size(notPorts));
    EXPECT_LE(OpenDescriptorCount(), descriptorsBefore);
    std::filesystem::remove_all(folder);
}

TEST_F(PortControlTest, ReopenWhileClosedDoesNothing) {
    CreateWindow();
    window->OnOpenPortButton();
    LineSettings().baudRate = 9600;
    window->OnReopenPort();
    ExpectClosedState();
    EXPECT_FALSE(window->connectButton->isEnabled());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(PortControlTest, ReopenWhileOpenTakesTheNewSpeedAndEnablesConnect) {
    CreateWindow();
    window->OnSerialData(std::vector<std::uint8_t>{0x80});  // start enabled
    LineSettings().baudRate = 9600;
    window->OnReopenPort();
    ExpectOpenState();
    EXPECT_EQ(com1->BaudRate(), 9600u);
    EXPECT_TRUE(window->connectButton->isEnabled());
    EXPECT_TRUE(window->startUpgradeButton->isEnabled()) << "a successful reopening leaves it alone";
}

TEST_F(PortControlTest, AFailedReopenDisablesConnectAndStart) {
    CreateWindow();
    window->OnSerialData(std::vector<std::uint8_t>{0x80});  // start enabled
    window->OnReopenPort();                                 // connect enabled
    ASSERT_TRUE(window->connectButton->isEnabled());
    ASSERT_TRUE(window->startUpgradeButton->isEnabled());
    com1.reset();  // the device is gone by the time the port reopens
    window->OnReopenPort();
    ExpectOpenErrorBox(0);
    ExpectClosedState();
    EXPECT_FALSE(window->connectButton->isEnabled());
    EXPECT_FALSE(window->startUpgradeButton->isEnabled());
}

TEST_F(PortControlTest, APortThatDisappearsIsClosedAndToldAndAnotherCanBeOpened) {
    CreateWindow();
    ASSERT_NE(window->Engine().CurrentReceiveLoop(), nullptr);
    com1->CloseMaster();  // the adapter is pulled
    // The loop ends with a failure; the window closes its side and says so.
    ASSERT_TRUE(ProcessEventsUntil([&] { return !boxes.empty(); }));
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("串口已断开!")});
    ExpectClosedState();
    EXPECT_EQ(window->Engine().CurrentReceiveLoop(), nullptr);

    window->portList->setCurrentIndex(1);
    window->OnPortListChange();
    ExpectOpenState();
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
