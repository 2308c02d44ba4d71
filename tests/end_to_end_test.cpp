// The whole road as the operator takes it, against the virtual camera head: choose the file,
// name the head in the device dialog, "连接云台", "开始升级", and the image arrives whole.
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>

#include "app/DeviceSelectDlg.h"
#include "res/resource.h"
#include "serial/PortNames.h"
#include "tests/support/Ser2net.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestImages.h"
#include "tests/support/ToolFault.h"
#include "tests/support/WaitBreaker.h"
#include "tests/support/WindowFixture.h"
#include "tools/head/VirtualHead.h"
#include "upgrade/FirmwareFrame.h"

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// Named, not anonymous: a fixture derives from a template of it (and a unity build includes
// this file into another).
namespace end_to_end {

struct HeadCase {
    unsigned address;
    head::PelcoProtocol protocol;
    int protocolPosition;  // in the device dialog's list
    std::uint32_t speed;
    int speedPosition;
};

}  // namespace end_to_end

using end_to_end::HeadCase;

class EndToEndTest : public WindowFixture {
  protected:
    void TearDown() override {
        window.reset();
        if (virtualHead) virtualHead->Stop();
        WindowFixture::TearDown();
    }

    // Starts the head and the window, whose COM1 is the head's line.
    void StartHead(const HeadCase& c, std::size_t imageSize, head::HeadFaults faults = {}) {
        StartHeadOnly(c, imageSize, faults);
        const std::string path = virtualHead->SlavePath();
        services.openLine = [path](const std::string& name) {
            return name == "COM1" ? OpenPlatformLine(path)
                                  : LineOpenResult{nullptr, LineError::FromErrno(ENOENT)};
        };
        CreateWindow();
        ASSERT_TRUE(State().portOpen);
    }

    void StartHeadOnly(const HeadCase& c, std::size_t imageSize, head::HeadFaults faults) {
        head::HeadOptions options;
        options.address = c.address;
        options.protocol = c.protocol;
        options.speed = c.speed;
        options.sizeRule = head::ImageSizeRule::ExpectSize;
        options.expectSize = static_cast<std::uint32_t>(imageSize);
        options.faults = faults;
        std::string error;
        virtualHead = head::VirtualHead::CreatePty(options, &error);
        ASSERT_TRUE(virtualHead) << error;
        breaker.emplace(ToolFaultProbe(*virtualHead));
        virtualHead->Start();
    }

    // "选择文件", then the device dialog filled in as the operator would, then "启动更新".
    void ChooseFileAndDevice(const Bytes& image, const HeadCase& c) {
        const std::string path = (folder.Path() / "firmware.bin").string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), image.size());
        window->SetFileChooser([path](QWidget*) { return QString::fromStdString(path); });
        QTimer::singleShot(0, [c] {
            auto* dialog = qobject_cast<CDeviceSelectDlg*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            dialog->ControlAs<QLineEdit>(IDC_ADDRESS)->setText(QString::number(c.address));
            dialog->protocolList->setCurrentIndex(c.protocolPosition);
            dialog->baudList->setCurrentIndex(c.speedPosition);
            dialog->ControlAs<QPushButton>(IDC_START_DEVICE)->click();
        });
        window->selectFileButton->click();
    }

    void ConnectAndStart() {
        ASSERT_TRUE(window->connectButton->isEnabled());
        window->connectButton->click();
        ASSERT_TRUE(ProcessEventsUntil([&] { return window->startUpgradeButton->isEnabled(); }));
        EXPECT_EQ(window->connectButton->text(), QStringLiteral("连接成功"));
        window->startUpgradeButton->click();
    }

    bool BoxShown(const QString& text, std::chrono::milliseconds timeout = 60s) {
        return ProcessEventsUntil(
            [&] {
                const auto texts = BoxTexts();
                return std::find(texts.begin(), texts.end(), text) != texts.end();
            },
            timeout);
    }

    QString Label(int id) const { return window->ControlAs<QLabel>(id)->text(); }

    TempDir folder{"kavlet-e2e"};
    std::unique_ptr<head::VirtualHead> virtualHead;
    std::optional<WaitBreaker> breaker;  // a broken frame or handshake ends the test at once
};

class WholeRoadTest : public EndToEndTest, public ::testing::WithParamInterface<HeadCase> {};

TEST_P(WholeRoadTest, TheImageArrivesByteIdenticalAndTheOperatorIsToldSo) {
    const HeadCase c = GetParam();
    const Bytes image = RandomImage(10000, 7);
    StartHead(c, image.size());
    ChooseFileAndDevice(image, c);
    EXPECT_EQ(Label(IDC_TOTAL_COUNT), QStringLiteral("12321"));

    const head::HeadReport afterCommand = virtualHead->Report();
    ASSERT_EQ(afterCommand.state, head::HeadState::Loader);
    ASSERT_FALSE(afterCommand.commands.empty());
    EXPECT_TRUE(afterCommand.commands.back().accepted);
    EXPECT_EQ(afterCommand.commands.back().lineSpeed, c.speed);

    const std::int32_t sentBefore = State().bytesSent;
    ConnectAndStart();
    ASSERT_TRUE(BoxShown(QStringLiteral("更新成功!")));
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("更新成功!")});

    const head::HeadReport report = virtualHead->Report();
    EXPECT_EQ(report.finishedImage, image);
    EXPECT_EQ(report.frames, 3u);
    EXPECT_TRUE(report.problems.empty()) << report.problems.front();
    EXPECT_EQ(window->progressBar->value(), window->progressBar->maximum());
    EXPECT_FALSE(window->startUpgradeButton->isEnabled());
    EXPECT_FALSE(window->connectButton->isEnabled());
    EXPECT_TRUE(ProcessEventsUntil([&] {
        return Label(IDC_SENT_COUNT) == QString::number(sentBefore + 3 * FRAME_SIZE);
    })) << Label(IDC_SENT_COUNT).toStdString();
}

INSTANTIATE_TEST_SUITE_P(Heads, WholeRoadTest,
                         ::testing::Values(HeadCase{1, head::PelcoProtocol::PelcoD, 1, 2400, 0},
                                           HeadCase{200, head::PelcoProtocol::PelcoP, 0, 921600,
                                                    9}));

TEST_F(EndToEndTest, AChecksumErrorBringsTheSameFrameAgainAndTheImageStillArrivesWhole) {
    const HeadCase c{3, head::PelcoProtocol::PelcoD, 1, 9600, 2};
    const Bytes image = RandomImage(10000, 7);
    head::HeadFaults faults;
    faults.rejectFrame = 2;
    faults.rejectCode = 0x83;
    StartHead(c, image.size(), faults);
    ChooseFileAndDevice(image, c);
    const std::int32_t sentBefore = State().bytesSent;
    ConnectAndStart();
    ASSERT_TRUE(BoxShown(QStringLiteral("更新成功!")));
    EXPECT_EQ(BoxTexts(),
              (std::vector<QString>{QStringLiteral("校验错误"), QStringLiteral("更新成功!")}));
    const head::HeadReport report = virtualHead->Report();
    EXPECT_EQ(report.finishedImage, image);
    EXPECT_EQ(report.frames, 4u);
    EXPECT_EQ(report.resends, 1u);
    // The last byte's count may be shown just after the head's answer is handled.
    EXPECT_TRUE(ProcessEventsUntil([&] {
        return Label(IDC_SENT_COUNT) == QString::number(sentBefore + 4 * FRAME_SIZE);
    })) << "a resent frame counts too: "
        << Label(IDC_SENT_COUNT).toStdString();
}

TEST_F(EndToEndTest, FailureAndTimeoutOnlyInform) {
    const HeadCase c{1, head::PelcoProtocol::PelcoD, 1, 2400, 0};
    const Bytes image = RandomImage(5000, 7);
    head::HeadFaults faults;
    faults.failAt = 1;
    faults.failCode = 0x87;
    StartHead(c, image.size(), faults);
    ChooseFileAndDevice(image, c);
    ConnectAndStart();
    ASSERT_TRUE(BoxShown(QStringLiteral("更新超时!"), 20s));
    ProcessEventsFor(200ms);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("更新超时!")});
    EXPECT_EQ(State().senderAwake, 0) << "the sender waits, parked";
    EXPECT_TRUE(window->Engine().HaveFirmware()) << "the file stays open";
}

TEST_F(EndToEndTest, AcceptingTheLastFrameBringsOneExtraFrame) {
    const HeadCase c{1, head::PelcoProtocol::PelcoD, 1, 2400, 0};
    const Bytes image = RandomImage(4097, 7);
    head::HeadFaults faults;
    faults.withholdDone = true;
    StartHead(c, image.size(), faults);
    ChooseFileAndDevice(image, c);
    ConnectAndStart();
    ASSERT_TRUE(BoxShown(QStringLiteral("更新成功!")));
    const head::HeadReport report = virtualHead->Report();
    EXPECT_EQ(report.frames, 3u);
    EXPECT_EQ(report.extraFrames, 1u);
    EXPECT_EQ(report.impliedImageSize, 4097u);
    EXPECT_EQ(report.finishedImage, image);
}

TEST_F(EndToEndTest, XoffFromTheHeadHoldsTheFrameAndXonLetsItFinish) {
    const HeadCase c{1, head::PelcoProtocol::PelcoD, 1, 2400, 0};
    const Bytes image = RandomImage(9000, 7);
    head::HeadFaults faults;
    faults.xoffFrame = 2;
    faults.xoffAfterBytes = 2000;
    faults.xoffPause = 300ms;
    StartHead(c, image.size(), faults);
    ChooseFileAndDevice(image, c);
    ConnectAndStart();
    ASSERT_TRUE(BoxShown(QStringLiteral("更新成功!")));
    const head::HeadReport report = virtualHead->Report();
    EXPECT_TRUE(report.xoffSent);
    EXPECT_TRUE(report.xonSent);
    EXPECT_EQ(report.finishedImage, image);
}

// The head behind ser2net (RFC 2217 on loopback): the operator types the network port into the
// port box and takes the same road; the command goes out at the head's 2400, the frames at
// 115200 on the same connection. The box keeps what was typed to the end.
TEST_F(EndToEndTest, ThroughSer2netThePortTypedInTheBoxCarriesTheWholeRoad) {
    if (!Ser2net::Installed()) GTEST_SKIP() << "ser2net is not installed";
    const HeadCase c{1, head::PelcoProtocol::PelcoD, 1, 2400, 0};
    const Bytes image = RandomImage(10000, 9);
    StartHeadOnly(c, image.size(), {});
    Ser2net server(virtualHead->SlavePath(), folder.File("ser2net.yaml"));
    ASSERT_TRUE(server.Running()) << server.Error();
    const QString typed = QString::fromStdString(server.Rfc2217Name());
    // COM1 at the start is the fixture's pseudo-terminal; a network name opens the network port.
    const LineOpener local = services.openLine;
    services.openLine = [local](const std::string& name) {
        return name.rfind("rfc2217://", 0) == 0 ? OpenPlatformLine(name) : local(name);
    };
    CreateWindow();
    window->show();
    window->portList->lineEdit()->clear();
    QTest::keyClicks(window->portList->lineEdit(), typed);
    QTest::keyClick(window->portList->lineEdit(), Qt::Key_Return);
    ASSERT_TRUE(State().portOpen);
    EXPECT_EQ(LineSettings().portName, typed.toStdString());
    ASSERT_TRUE(boxes.empty()) << boxes.front().text.toStdString();

    ChooseFileAndDevice(image, c);
    EXPECT_EQ(window->portList->currentText().toStdString(), typed.toStdString())
        << "after the change of speed";
    const head::HeadReport afterCommand = virtualHead->Report();
    ASSERT_EQ(afterCommand.state, head::HeadState::Loader);
    ASSERT_EQ(afterCommand.commands.size(), 1u);
    EXPECT_TRUE(afterCommand.commands[0].accepted);
    EXPECT_EQ(afterCommand.commands[0].lineSpeed, 2400u);

    ConnectAndStart();
    ASSERT_TRUE(BoxShown(QStringLiteral("更新成功!")));
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("更新成功!")});
    const head::HeadReport report = virtualHead->Report();
    EXPECT_EQ(report.finishedImage, image);
    EXPECT_EQ(report.frames, 3u);
    EXPECT_TRUE(report.problems.empty()) << report.problems.front();
    EXPECT_EQ(window->portList->currentText().toStdString(), typed.toStdString())
        << "to the end of the run";
    EXPECT_EQ(LineSettings().portName, typed.toStdString());
}
