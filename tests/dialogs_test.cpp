// What the operator sees and types: the main window's controls and keys, the device dialog's
// defaults, its address check and what it sends to the main window.
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <fstream>

#include "app/DeviceSelectDlg.h"
#include "res/resource.h"
#include "tests/support/LineRecorder.h"
#include "tests/support/TempDir.h"
#include "tests/support/WindowFixture.h"
#include "upgrade/FirmwareFrame.h"

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

void PressKey(QWidget* target, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
}

}  // namespace

class MainWindowTest : public WindowFixture {};

TEST_F(MainWindowTest, ControlsCarryTheirCaptionsInTabOrder) {
    CreateWindow();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Tolmar云台程序升级"));
    const std::pair<int, const char*> captions[] = {{IDC_SELECT_FILE, "选择文件"},
                                                    {IDC_START_UPGRADE, "开始升级"},
                                                    {IDC_CONNECT, "连接云台"},
                                                    {IDC_OPEN_PORT, "关闭串口"}};
    for (const auto& [id, caption] : captions) {
        EXPECT_EQ(window->ControlAs<QPushButton>(id)->text(), QString::fromUtf8(caption));
    }
    const QString instructions = window->ControlAs<QLabel>(IDC_INSTRUCTIONS)->text();
    EXPECT_EQ(instructions, QStringLiteral("----串口更新说明---- 波特率：115200") +
                                QString(28, QLatin1Char(' ')) + QStringLiteral("升级文件：*.bin"));
    EXPECT_EQ(window->findChild<QLabel*>(QStringLiteral("IDC_TOTAL_COUNT_LABEL"))->text(),
              QStringLiteral("需更新:"));
    EXPECT_EQ(window->findChild<QLabel*>(QStringLiteral("IDC_SENT_COUNT_LABEL"))->text(),
              QStringLiteral("已更新:"));
    EXPECT_EQ(window->ControlAs<QLabel>(IDC_SENT_COUNT)->text(), QString())
        << "empty until a byte is sent";

    // Tab order is the template's: file path, select, start, port list, open, connect.
    std::vector<QString> order;
    QWidget* w = window->filePathEdit;
    for (int i = 0; i < 6; ++i, w = w->nextInFocusChain()) {
        // The port box's own edit field follows the box in the chain; it has no name.
        while (w->focusPolicy() == Qt::NoFocus || w->objectName().isEmpty())
            w = w->nextInFocusChain();
        order.push_back(w->objectName());
    }
    EXPECT_EQ(order, (std::vector<QString>{"IDC_FILE_PATH", "IDC_SELECT_FILE", "IDC_START_UPGRADE",
                                           "IDC_PORT_LIST", "IDC_OPEN_PORT", "IDC_CONNECT"}));
}

TEST_F(MainWindowTest, EscAndEnterOutsideAButtonCloseTheWindow) {
    CreateWindow();
    window->show();
    PressKey(window.get(), Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());

    window->show();
    PressKey(window->filePathEdit, Qt::Key_Return);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->result(), QDialog::Accepted);
}

TEST_F(MainWindowTest, EnterOnAButtonClicksItAndEnterInThePortBoxOpensTheTypedPort) {
    CreateWindow();
    window->show();
    QPushButton* openButton = window->ControlAs<QPushButton>(IDC_OPEN_PORT);
    openButton->setFocus();
    PressKey(openButton, Qt::Key_Return);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(State().portOpen);

    window->portList->setEditText(QString::fromStdString(com2->SlavePath()));
    PressKey(window->portList, Qt::Key_Return);  // a key typed in the box reaches the box first
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(State().portOpen);
    PressKey(window->portList->lineEdit(), Qt::Key_Enter);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(boxes.empty()) << (boxes.empty() ? "" : boxes[0].text.toStdString());
    EXPECT_TRUE(State().portOpen);
    EXPECT_EQ(LineSettings().portName, com2->SlavePath());
}

// Each button's click reaches its handler, and what the handler changed shows.
TEST_F(MainWindowTest, EachButtonsClickIsActedOnAndItsStateShows) {
    CreateWindow();
    LineRecorder line(com1->MasterFd());
    EXPECT_TRUE(window->progressBar->isHidden());
    QPushButton* openButton = window->ControlAs<QPushButton>(IDC_OPEN_PORT);
    openButton->click();
    EXPECT_EQ(openButton->text(), QStringLiteral("打开串口"));
    EXPECT_FALSE(window->selectFileButton->isEnabled());
    openButton->click();
    EXPECT_EQ(openButton->text(), QStringLiteral("关闭串口"));
    ASSERT_TRUE(window->selectFileButton->isEnabled());

    TempDir folder{"kavlet-dialogs"};
    const std::string path = folder.File("image.bin");
    std::ofstream(path, std::ios::binary) << std::string(100, 'x');
    window->SetFileChooser([&](QWidget*) { return QString::fromStdString(path); });
    QTimer::singleShot(0, [] {  // the device dialog, started with its defaults
        auto* dialog = qobject_cast<CDeviceSelectDlg*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        dialog->ControlAs<QPushButton>(IDC_START_DEVICE)->click();
    });
    window->selectFileButton->click();
    EXPECT_EQ(window->filePathEdit->text(), QString::fromStdString(path));
    EXPECT_EQ(window->ControlAs<QLabel>(IDC_TOTAL_COUNT)->text(), QStringLiteral("4107"));
    EXPECT_FALSE(window->progressBar->isHidden());
    ASSERT_TRUE(window->connectButton->isEnabled());
    window->connectButton->click();
    ASSERT_TRUE(line.WaitForBytes(7 + 2, 2s));
    EXPECT_EQ(line.Bytes(), (Bytes{0xFF, 0x01, 0x00, 0x57, 0x00, 0x00, 0x58, 0x3F, 0x3F}));

    ASSERT_TRUE(com1->Write({0x80}));
    ASSERT_TRUE(ProcessEventsUntil([&] { return window->startUpgradeButton->isEnabled(); }));
    EXPECT_EQ(window->connectButton->text(), QStringLiteral("连接成功"));
    window->startUpgradeButton->click();
    EXPECT_FALSE(window->startUpgradeButton->isEnabled());
    EXPECT_TRUE(line.WaitForBytes(9 + FRAME_SIZE, 5s)) << "the first frame goes out";
    EXPECT_TRUE(boxes.empty());
}

class DeviceDialogTest : public WindowFixture {
  protected:
    void SetUp() override {
        WindowFixture::SetUp();
        CreateWindow();
        dialog = std::make_unique<CDeviceSelectDlg>(window.get(), services.presenter);
        dialog->show();
    }
    void TearDown() override {
        dialog.reset();
        WindowFixture::TearDown();
    }
    QLineEdit* Address() const { return dialog->ControlAs<QLineEdit>(IDC_ADDRESS); }

    std::unique_ptr<CDeviceSelectDlg> dialog;
};

TEST_F(DeviceDialogTest, OpensWithItsDefaultsAndListsInPositionOrder) {
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("选择设备"));
    EXPECT_EQ(Address()->text(), QStringLiteral("1"));
    ASSERT_EQ(dialog->protocolList->count(), 2);
    EXPECT_EQ(dialog->protocolList->itemText(0), QStringLiteral("PELCO_P"));
    EXPECT_EQ(dialog->protocolList->currentText(), QStringLiteral("PELCO_D"));
    const char* speeds[] = {"2400",  "4800",   "9600",   "19200",  "38400",
                            "57600", "115200", "128000", "256000", "921600"};
    ASSERT_EQ(dialog->baudList->count(), 10);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(dialog->baudList->itemText(i), QString::fromLatin1(speeds[i]));
    EXPECT_EQ(dialog->baudList->currentIndex(), 0);
    EXPECT_EQ(dialog->ControlAs<QPushButton>(IDC_START_DEVICE)->text(), QStringLiteral("启动更新"));
}

TEST_F(DeviceDialogTest, AWrongAddressIsRefusedAndNothingIsSent) {
    LineRecorder line(com1->MasterFd());
    const char* wrong[] = {"0", "256", "-3", "abc", "", "4294967297", "99999999999", "-4294967295"};
    for (const char* text : wrong) {
        SCOPED_TRACE(text);
        boxes.clear();
        Address()->setText(QString::fromLatin1(text));
        dialog->OnStartDevice();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, QStringLiteral("输入地址错误!"));
        EXPECT_EQ(boxes[0].caption, ApplicationName());
        EXPECT_EQ(boxes[0].owner, dialog.get());
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(Address()->text(), QString::fromLatin1(text)) << "fields stay as they were";
    }
    ProcessEventsFor(50ms);
    EXPECT_TRUE(line.Bytes().empty());
    EXPECT_EQ(LineSettings().baudRate, 115200u);
}

TEST_F(DeviceDialogTest, AValidChoiceReachesTheLineAndClosesTheDialog) {
    LineRecorder line(com1->MasterFd());
    Address()->setText(QStringLiteral(" 5xyz"));
    dialog->protocolList->setCurrentIndex(0);  // PELCO_P
    dialog->baudList->setCurrentIndex(9);      // 921600
    dialog->OnStartDevice();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    ASSERT_TRUE(dialog->Choice());
    window->OnDeviceSelected(*dialog->Choice());  // what the window does with the choice
    ASSERT_TRUE(line.WaitForBytes(8, 2s));
    EXPECT_EQ(line.Bytes(),
              (Bytes{0xA0, 0x04, 0x00, 0x57, 0x00, 0x00, 0xAF, 0xA0 ^ 0x04 ^ 0x57 ^ 0xAF}));
    for (const auto& chunk : line.Chunks()) EXPECT_EQ(chunk.baudRate, 921600u);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(DeviceDialogTest, TypedTextInTheListsCountsAsNoSelection) {
    LineRecorder line(com1->MasterFd());
    Address()->setText(QStringLiteral("255"));
    dialog->protocolList->setEditText(QStringLiteral("VISCA"));  // no entry: Pelco-P
    dialog->baudList->setEditText(QStringLiteral("300"));        // no entry: speed unchanged
    dialog->OnStartDevice();
    ASSERT_TRUE(dialog->Choice());
    window->OnDeviceSelected(*dialog->Choice());
    ASSERT_TRUE(line.WaitForBytes(8, 2s));
    EXPECT_EQ(line.Bytes(), (Bytes{0xA0, 0xFE, 0x00, 0x57, 0x00, 0x00, 0xAF, 0xA6}));
    for (const auto& chunk : line.Chunks()) EXPECT_EQ(chunk.baudRate, 115200u);
}

TEST_F(DeviceDialogTest, EnterAndEscCloseWithoutSending) {
    LineRecorder line(com1->MasterFd());
    Address()->setFocus();
    PressKey(Address(), Qt::Key_Return);
    EXPECT_FALSE(dialog->isVisible());
    dialog->show();
    PressKey(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    ProcessEventsFor(50ms);
    EXPECT_TRUE(line.Bytes().empty());
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(State().portOpen);
    EXPECT_EQ(com1->BaudRate(), 115200u);
}
