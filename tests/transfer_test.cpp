// Choosing the file and the device, sending the image, and acting on the head's answers, with
// the test playing the head on the far side of the line.
#include <sys/stat.h>
#include <unistd.h>

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>

#include "app/DeviceSelectDlg.h"
#include "res/resource.h"
#include "tests/support/ChunkSpy.h"
#include "tests/support/LineRecorder.h"
#include "tests/support/ModalWatcher.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestImages.h"
#include "tests/support/WindowFixture.h"
#include "upgrade/FirmwareFrame.h"
#include "upgrade/PelcoCommand.h"
#include "upgrade/ResponseCodes.h"
#include "upgrade/Sender.h"

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes ExpectedFrame(const Bytes& image, std::int32_t offset) {
    FirmwareFrame frame;
    const std::size_t n = std::min<std::size_t>(
        FRAME_DATA_SIZE, image.size() - std::min<std::size_t>(offset, image.size()));
    BuildFirmwareFrame(frame, offset,
                       {image.data() + std::min<std::size_t>(offset, image.size()), n},
                       static_cast<std::int32_t>(image.size()));
    return Bytes(frame.begin(), frame.end());
}

// How a count box looks on screen: empty when its digits are readable, dark on a light
// background; otherwise what is wrong.
std::string ReadabilityOf(const QImage& box) {
    std::map<QRgb, int> colours;
    int dark = 0;
    // The sunken frame is left out: two pixels on every side.
    for (int y = 2; y < box.height() - 2; ++y) {
        for (int x = 2; x < box.width() - 2; ++x) {
            const QRgb pixel = box.pixel(x, y);
            ++colours[pixel];
            if (qGray(pixel) < 110) ++dark;
        }
    }
    if (colours.empty()) return "no pixels";
    const auto background = std::max_element(colours.begin(), colours.end(),
                                             [](auto& a, auto& b) { return a.second < b.second; });
    if (qGray(background->first) < 170)
        return "dark background, grey " + std::to_string(qGray(background->first));
    if (dark < 10) return "no digits drawn";
    return {};
}

}  // namespace

class TransferTest : public WindowFixture {
  protected:
    void TearDown() override {
        line.reset();
        WindowFixture::TearDown();
    }

    std::string WriteFile(const std::string& name, const Bytes& bytes) {
        const auto path = folder.Path() / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path.string();
    }

    // Chooses the file; the device dialog that follows is closed at once.
    void ChooseFile(const std::string& path) {
        window->SetFileChooser([path](QWidget*) { return QString::fromStdString(path); });
        RejectNextModalDialog();
        window->OnSelectFile();
    }

    // File chosen, head greeted, transfer started: the first frame is on its way.
    void CreateWindow() {
        WindowFixture::CreateWindow();
        answers.Watch(window->Engine());
    }

    void StartTransfer(const Bytes& image) {
        CreateWindow();
        line = std::make_unique<LineRecorder>(com1->MasterFd());
        ChooseFile(WriteFile("image.bin", image));
        Answer(RSP_CONNECTED);
        ASSERT_TRUE(ProcessEventsUntil([&] { return window->startUpgradeButton->isEnabled(); }));
        window->OnStartUpgrade();
    }

    // One answer, as its own chunk: the window counts only the first byte of each chunk.
    void Answer(std::uint8_t code) {
        const std::size_t handled = answers.chunks.size();
        ASSERT_TRUE(com1->Write({code}));
        ASSERT_TRUE(ProcessEventsUntil([&] { return answers.chunks.size() > handled; }));
    }
    // Holds the sender on the first byte of its next frame with XOFF. The XOFF goes first and
    // is given time to reach the line discipline, which acts on it asynchronously.
    void HoldNextFrameWithXoff() {
        const std::size_t before = line->Size();
        ASSERT_TRUE(com1->Write({0x13}));
        ProcessEventsFor(100ms);
        Answer(RSP_BLOCK_OK);
        ProcessEventsFor(50ms);
        ASSERT_EQ(line->Size(), before) << "XOFF holds the frame";
        ASSERT_EQ(State().senderAwake, 1);
    }

    // Waits (serving the window) until the line has carried this many bytes in all.
    bool LineCarries(std::size_t total) {
        return ProcessEventsUntil([&] { return line->Size() >= total; }, 10s);
    }
    Bytes FrameOnLine(std::size_t index) {
        const Bytes all = line->Bytes();
        if (all.size() < (index + 1) * FRAME_SIZE) return {};
        return Bytes(all.begin() + index * FRAME_SIZE, all.begin() + (index + 1) * FRAME_SIZE);
    }
    bool SenderParked() {
        return ProcessEventsUntil([this] { return State().senderAwake == 0; }, 10s);
    }
    QString Label(int id) const { return window->ControlAs<QLabel>(id)->text(); }

    TempDir folder{"kavlet-transfer"};
    std::unique_ptr<LineRecorder> line;
    ChunkSpy answers;  // the chunks handed to the window
};

TEST_F(TransferTest, TotalToSendIs4107PerStartedBlock) {
    CreateWindow();
    const std::pair<std::size_t, const char*> cases[] = {
        {1, "4107"}, {4096, "4107"}, {4097, "8214"}, {10000, "12321"}};
    for (const auto& [size, total] : cases) {
        SCOPED_TRACE(size);
        ChooseFile(WriteFile("size.bin", RandomImage(size, 7)));
        EXPECT_EQ(Label(IDC_TOTAL_COUNT), QString::fromLatin1(total));
        EXPECT_EQ(window->progressBar->value(), 0);
        EXPECT_FALSE(window->progressBar->isHidden());
        EXPECT_EQ(window->filePathEdit->text(),
                  QString::fromStdString((folder.Path() / "size.bin").string()));
    }
    EXPECT_TRUE(boxes.empty());
}

// Only a regular file with at least one byte is an image; opening never waits.
TEST_F(TransferTest, WhatIsNoImageIsRefusedAndTheDeviceDialogNotShown) {
    const QString unreadable = QStringLiteral("文件不可读!"), empty = QStringLiteral("升级文件为空!");
    const struct {
        const char* what;
        std::function<std::string()> make;
        QString box;
    } rows[] = {
        {"missing", [&] { return folder.File("gone.bin"); }, unreadable},
        {"empty", [&] { return WriteFile("empty.bin", {}); }, empty},
        {"folder", [&] {
             std::filesystem::create_directory(folder.File("dir.bin"));
             return folder.File("dir.bin");
         }, unreadable},
        {"FIFO without a writer", [&] {
             mkfifo(folder.File("pipe.bin").c_str(), 0600);
             return folder.File("pipe.bin");
         }, unreadable},
        {"device reporting size 0", [] { return std::string("/dev/zero"); }, unreadable},
        // The kernel calls it a regular file of 0 bytes: refused as an empty one.
        {"file under /proc reporting size 0", [] { return std::string("/proc/self/status"); }, empty},
    };
    CreateWindow();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        boxes.clear();
        const std::string path = row.make();
        bool dialogShown = false;
        QTimer::singleShot(0, [&] { dialogShown = QApplication::activeModalWidget() != nullptr; });
        window->SetFileChooser([&](QWidget*) { return QString::fromStdString(path); });
        window->OnSelectFile();
        ProcessEventsFor(20ms);
        EXPECT_FALSE(dialogShown);
        ASSERT_EQ(BoxTexts(), std::vector<QString>{row.box});
        EXPECT_EQ(window->filePathEdit->text(), QString::fromStdString(path));
        EXPECT_FALSE(window->progressBar->isHidden());
        // There is no current file: start only disables itself.
        window->OnSerialData(std::vector<std::uint8_t>{RSP_CONNECTED});
        ASSERT_TRUE(window->startUpgradeButton->isEnabled());
        window->OnStartUpgrade();
        EXPECT_FALSE(window->startUpgradeButton->isEnabled());
        EXPECT_TRUE(com1->ReadUntilQuiet(50ms).empty());
    }
}

TEST_F(TransferTest, AnImageOf2GiBOrMoreIsRefused) {
    CreateWindow();
    const std::string path = (folder.Path() / "huge.bin").string();
    std::ofstream(path).close();
    std::filesystem::resize_file(path, std::uintmax_t{1} << 31);  // sparse: takes no disk
    window->SetFileChooser([&](QWidget*) { return QString::fromStdString(path); });
    window->OnSelectFile();
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("文件不可读!")});
    EXPECT_FALSE(window->Engine().HaveFirmware());
}

TEST_F(TransferTest, CancellingTheFileDialogResetsProgressAndKeepsTheFile) {
    StartTransfer(RandomImage(8192, 7));
    ASSERT_TRUE(LineCarries(FRAME_SIZE));
    ASSERT_TRUE(SenderParked());
    Answer(RSP_BLOCK_OK);
    ASSERT_EQ(window->progressBar->value(), 4096);
    window->SetFileChooser([](QWidget*) { return QString(); });
    window->OnSelectFile();
    EXPECT_EQ(window->progressBar->value(), 0);
    EXPECT_TRUE(window->Engine().HaveFirmware());
    EXPECT_EQ(window->Engine().FileOffset(), 0);
}

TEST_F(TransferTest, AWholeImageGoesOutFrameByFrameWithCountsAndProgress) {
    const Bytes image = RandomImage(10000, 7);
    constexpr std::int32_t sentBefore = 0;  // each window counts from zero
    StartTransfer(image);
    EXPECT_EQ(window->connectButton->text(), QStringLiteral("连接成功"));
    EXPECT_FALSE(window->connectButton->isEnabled());
    EXPECT_FALSE(window->startUpgradeButton->isEnabled());

    for (std::size_t frame = 0; frame < 3; ++frame) {
        SCOPED_TRACE(frame);
        ASSERT_TRUE(LineCarries((frame + 1) * FRAME_SIZE));
        ASSERT_TRUE(SenderParked());
        EXPECT_EQ(FrameOnLine(frame),
                  ExpectedFrame(image, static_cast<std::int32_t>(frame * FRAME_DATA_SIZE)));
        const QString count = QString::number(sentBefore + (frame + 1) * FRAME_SIZE);
        EXPECT_TRUE(ProcessEventsUntil([&] { return Label(IDC_SENT_COUNT) == count; }))
            << Label(IDC_SENT_COUNT).toStdString();
        Answer(frame < 2 ? RSP_BLOCK_OK : RSP_DONE);
        if (frame < 2) {
            ASSERT_TRUE(ProcessEventsUntil(
                [&] { return window->progressBar->value() == int((frame + 1) * 4096); }));
        }
    }
    ASSERT_TRUE(ProcessEventsUntil([&] { return !boxes.empty(); }));
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("更新成功!")});
    EXPECT_EQ(window->progressBar->value(), window->progressBar->maximum());
    EXPECT_EQ(window->progressBar->maximum(), 10000);
    EXPECT_FALSE(window->startUpgradeButton->isEnabled());
    EXPECT_FALSE(window->connectButton->isEnabled());
    ProcessEventsFor(50ms);
    EXPECT_EQ(line->Size(), 3 * FRAME_SIZE) << "nothing is sent after the last frame";
    EXPECT_FALSE(window->Engine().HaveFirmware());
    EXPECT_EQ(window->Engine().FileOffset(), 0);
}

TEST_F(TransferTest, BothCountsAreReadableOnScreenAndReadOutAsTheirNumbers) {
    constexpr std::int32_t sentBefore = 0;
    StartTransfer(RandomImage(10000, 7));
    window->show();
    ASSERT_TRUE(ProcessEventsUntil(
        [&] { return window->windowHandle() && window->windowHandle()->isExposed(); }));

    auto checkCounts = [&](const char* when, const QString& sent) {
        SCOPED_TRACE(when);
        ASSERT_TRUE(ProcessEventsUntil([&] { return Label(IDC_SENT_COUNT) == sent; }))
            << Label(IDC_SENT_COUNT).toStdString();
        ProcessEventsFor(50ms);  // the new number painted and on the screen
        for (const auto& [id, caption] :
             {std::pair{IDC_TOTAL_COUNT, "需更新:"}, std::pair{IDC_SENT_COUNT, "已更新:"}}) {
            SCOPED_TRACE(caption);
            auto* label = window->ControlAs<QLabel>(id);
            const QPoint at = label->mapTo(window.get(), QPoint(0, 0));
            const QImage pixels =
                window->screen()
                    ->grabWindow(window->winId(), at.x(), at.y(), label->width(), label->height())
                    .toImage();
            EXPECT_EQ(ReadabilityOf(pixels), "");

            QAccessibleInterface* readOut = QAccessible::queryAccessibleInterface(label);
            ASSERT_NE(readOut, nullptr);
            EXPECT_EQ(readOut->text(QAccessible::Name), label->text())
                << "a screen reader reads the number";
            const auto labelledBy = readOut->relations(QAccessible::Label);
            ASSERT_EQ(labelledBy.size(), 1);
            EXPECT_EQ(labelledBy.front().first->text(QAccessible::Name),
                      QString::fromUtf8(caption));
        }
    };
    EXPECT_EQ(Label(IDC_TOTAL_COUNT), QStringLiteral("12321"));
    ASSERT_TRUE(LineCarries(FRAME_SIZE));
    ASSERT_TRUE(SenderParked());
    checkCounts("during the transfer", QString::number(sentBefore + FRAME_SIZE));
    Answer(RSP_BLOCK_OK);
    ASSERT_TRUE(LineCarries(2 * FRAME_SIZE));
    ASSERT_TRUE(SenderParked());
    Answer(RSP_BLOCK_OK);
    ASSERT_TRUE(LineCarries(3 * FRAME_SIZE));
    ASSERT_TRUE(SenderParked());
    Answer(RSP_DONE);
    ASSERT_TRUE(ProcessEventsUntil([&] { return !boxes.empty(); }));
    checkCounts("after the transfer", QString::number(sentBefore + 3 * FRAME_SIZE));
}

TEST_F(TransferTest, AChecksumErrorResendsTheSameFrameOnceTheBoxIsClosed) {
    const Bytes image = RandomImage(5000, 7);
    StartTransfer(image);
    ASSERT_TRUE(LineCarries(FRAME_SIZE));
    ASSERT_TRUE(SenderParked());
    bool frameAgainBeforeBoxClosed = false;
    whileBoxOpen = [&](const MessageBoxRequest&) {
        ProcessEventsFor(100ms);
        frameAgainBeforeBoxClosed = line->Size() > FRAME_SIZE;
    };
    Answer(RSP_CHECKSUM_ERROR_2);
    ASSERT_TRUE(LineCarries(2 * FRAME_SIZE));
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("校验错误")});
    EXPECT_FALSE(frameAgainBeforeBoxClosed);
    EXPECT_EQ(FrameOnLine(1), FrameOnLine(0));
    EXPECT_EQ(FrameOnLine(0), ExpectedFrame(image, 0));
    whileBoxOpen = nullptr;

    ASSERT_TRUE(SenderParked());
    Answer(RSP_BLOCK_OK);
    ASSERT_TRUE(LineCarries(3 * FRAME_SIZE));
    EXPECT_EQ(FrameOnLine(2), ExpectedFrame(image, 4096));
}

TEST_F(TransferTest, FailureAndTimeoutOnlyInformAndAnUnknownCodeDoesNothing) {
    StartTransfer(RandomImage(100, 7));
    ASSERT_TRUE(LineCarries(FRAME_SIZE));
    ASSERT_TRUE(SenderParked());
    for (std::uint8_t code : {RSP_FAILED, RSP_TIMEOUT, std::uint8_t{0x85}, std::uint8_t{0x10}})
        Answer(code);
    ProcessEventsFor(50ms);
    EXPECT_EQ(BoxTexts(),
              (std::vector<QString>{QStringLiteral("更新失败!"), QStringLiteral("更新超时!")}));
    EXPECT_EQ(line->Size(), FRAME_SIZE);
    {
        EXPECT_TRUE(window->Engine().HaveFirmware());
        EXPECT_EQ(window->Engine().FileOffset(), 100);
    }
    // The head may still go on: a later acceptance wakes the sender as usual.
    Answer(RSP_BLOCK_OK);
    EXPECT_TRUE(LineCarries(2 * FRAME_SIZE));
}

TEST_F(TransferTest, AcceptingTheLastFrameBringsOneFrameWithoutFileData) {
    const Bytes image = RandomImage(100, 7);
    StartTransfer(image);
    ASSERT_TRUE(LineCarries(FRAME_SIZE));
    ASSERT_TRUE(SenderParked());
    Answer(RSP_BLOCK_OK);
    ASSERT_TRUE(LineCarries(2 * FRAME_SIZE));
    const Bytes extra = FrameOnLine(1);
    EXPECT_EQ(Bytes(extra.begin(), extra.begin() + 8),
              (Bytes{0x73, 0x01, 0x00, 0x02, 0x00, 0x64, 0x10, 0x00}));
    EXPECT_EQ(Bytes(extra.end() - 3, extra.end()), (Bytes{0x0F, 0xF0, 0x77}));
    EXPECT_EQ(window->Engine().FileOffset(), 100) << "the frame holds no file bytes";
}

TEST_F(TransferTest, AnAnswerWhileTheSenderIsStillSendingWakesNothing) {
    StartTransfer(RandomImage(9000, 7));
    ASSERT_TRUE(LineCarries(FRAME_SIZE));
    ASSERT_TRUE(SenderParked());
    HoldNextFrameWithXoff();
    Answer(RSP_BLOCK_OK);  // early: the sender is still on its frame
    ProcessEventsFor(50ms);
    ASSERT_TRUE(com1->Write({0x11}));  // XON
    ASSERT_TRUE(LineCarries(2 * FRAME_SIZE));
    ASSERT_TRUE(SenderParked());
    ProcessEventsFor(100ms);
    EXPECT_EQ(line->Size(), 2 * FRAME_SIZE) << "exactly one frame for one wake-up";
}

TEST_F(TransferTest, StartWithoutAFileOnlyDisablesTheButton) {
    CreateWindow();
    window->OnSerialData(std::vector<std::uint8_t>{RSP_CONNECTED});
    ASSERT_TRUE(window->startUpgradeButton->isEnabled());
    window->OnStartUpgrade();
    EXPECT_FALSE(window->startUpgradeButton->isEnabled());
    EXPECT_TRUE(com1->ReadUntilQuiet(100ms).empty());
}

TEST_F(TransferTest, AnswersWithoutAFileOrSenderLeaveEverythingAlone) {
    CreateWindow();
    for (std::uint8_t code : {RSP_BLOCK_OK, RSP_CHECKSUM_ERROR}) Answer(code);
    ProcessEventsFor(30ms);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("校验错误")});
    EXPECT_TRUE(com1->ReadUntilQuiet(50ms).empty());
    EXPECT_EQ(window->Engine().FileOffset(), 0);
}

TEST_F(TransferTest, AFileThatShrinksDuringTheTransferStopsIt) {
    const Bytes image = RandomImage(10000, 7);
    StartTransfer(image);
    ASSERT_TRUE(LineCarries(FRAME_SIZE));
    ASSERT_TRUE(SenderParked());
    std::filesystem::resize_file(folder.Path() / "image.bin", 5000);
    Answer(RSP_BLOCK_OK);
    ASSERT_TRUE(ProcessEventsUntil([&] { return !boxes.empty(); }));
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("文件不可读!")});
    ProcessEventsFor(100ms);
    EXPECT_EQ(line->Size(), FRAME_SIZE) << "no frame padded from a short read";
    EXPECT_FALSE(window->startUpgradeButton->isEnabled());
}

TEST_F(TransferTest, BoxesKeepServingAnswersAndTheCountWhileOpen) {
    StartTransfer(RandomImage(20000, 7));
    ASSERT_TRUE(LineCarries(FRAME_SIZE));
    ASSERT_TRUE(SenderParked());
    // While "更新失败!" is open, the head accepts the frame: the next one goes out, counted.
    const std::int32_t before = State().bytesSent;
    whileBoxOpen = [&](const MessageBoxRequest& box) {
        if (box.text != QStringLiteral("更新失败!")) return;
        Answer(RSP_BLOCK_OK);
        EXPECT_TRUE(LineCarries(2 * FRAME_SIZE));
        EXPECT_TRUE(SenderParked());
        EXPECT_TRUE(ProcessEventsUntil(
            [&] { return Label(IDC_SENT_COUNT) == QString::number(before + FRAME_SIZE); }));
    };
    Answer(RSP_FAILED);
    ASSERT_TRUE(ProcessEventsUntil([&] { return !boxes.empty(); }));
    EXPECT_EQ(line->Size(), 2 * FRAME_SIZE);
}

TEST_F(TransferTest, ClosingTheWindowMidFrameEndsTheSenderWithoutHanging) {
    StartTransfer(RandomImage(9000, 7));
    ASSERT_TRUE(LineCarries(FRAME_SIZE));
    ASSERT_TRUE(SenderParked());
    HoldNextFrameWithXoff();
    const SenderThread* sender = State().senderThread.get();
    ASSERT_NE(sender, nullptr);
    ASSERT_FALSE(sender->Finished()) << "held by XOFF on its frame";
    window.reset();  // returns only once the sender has ended
}

TEST_F(TransferTest, APortClosedMidFrameStopsTheSenderAndTheBlockIsSentAgainOnRestart) {
    const Bytes image = RandomImage(10000, 7);
    StartTransfer(image);
    ASSERT_TRUE(LineCarries(FRAME_SIZE));
    ASSERT_TRUE(SenderParked());
    // XOFF holds the next frame on its way out, so the close always lands in the middle of it.
    HoldNextFrameWithXoff();
    window->OnOpenPortButton();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !boxes.empty(); }));
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("串口写入失败!")});
    ProcessEventsFor(50ms);
    const std::int32_t counted = State().bytesSent;
    EXPECT_LT(line->Size(), 2 * FRAME_SIZE);
    EXPECT_TRUE(ProcessEventsUntil([&] {
        return Label(IDC_SENT_COUNT) == QString::number(counted);
    })) << "only bytes that went out are counted";
    {
        EXPECT_EQ(window->Engine().FileOffset(), 4096) << "back at the start of the unsent block";
    }

    // Port open again, the head greets back: starting again sends that block.
    window->OnOpenPortButton();
    const std::size_t before = line->Size();
    Answer(RSP_CONNECTED);
    window->OnStartUpgrade();
    ASSERT_TRUE(LineCarries(before + FRAME_SIZE));
    const Bytes all = line->Bytes();
    EXPECT_EQ(Bytes(all.begin() + before, all.begin() + before + FRAME_SIZE),
              ExpectedFrame(image, 4096));
}

TEST_F(TransferTest, AStaleXoffDoesNotHoldANewOpening) {
    StartTransfer(RandomImage(5000, 7));
    ASSERT_TRUE(LineCarries(FRAME_SIZE));
    ASSERT_TRUE(SenderParked());
    ASSERT_TRUE(com1->Write({0x13}));  // XOFF, never followed by XON
    ProcessEventsFor(20ms);
    window->OnOpenPortButton();
    window->OnOpenPortButton();
    window->OnConnect();
    ASSERT_TRUE(LineCarries(FRAME_SIZE + 2)) << "the greeting goes out on the new opening";
}


// --- What must never reach the head, success only when it happened, never silent ----------

TEST_F(TransferTest, AnEarlyDoneIsAFailureAndStartingAgainSendsTheFirstBlock) {
    const Bytes image = RandomImage(10000, 7);
    StartTransfer(image);
    ASSERT_TRUE(LineCarries(FRAME_SIZE));
    ASSERT_TRUE(SenderParked());
    Answer(RSP_DONE);  // after frame 1 of 3
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("更新失败!")});
    EXPECT_FALSE(window->startUpgradeButton->isEnabled());
    EXPECT_LT(window->progressBar->value(), window->progressBar->maximum());

    Answer(RSP_CONNECTED);
    ASSERT_TRUE(window->startUpgradeButton->isEnabled());
    window->OnStartUpgrade();
    ASSERT_TRUE(LineCarries(2 * FRAME_SIZE));
    EXPECT_EQ(FrameOnLine(1), ExpectedFrame(image, 0));
}

TEST_F(TransferTest, AFileChosenDuringTheTransferEndsItAndNoFrameFallsOutsideTheFile) {
    // The choice comes while the head has frame 1 and the sender waits for its answer; the
    // dialog is cancelled in one row, a new file chosen in the other. The head then rejects
    // the frame it had: no block before the first is ever built.
    for (const bool cancelled : {true, false}) {
        SCOPED_TRACE(cancelled ? "dialog cancelled" : "new file");
        const Bytes image = RandomImage(10000, 7), other = RandomImage(6000, 8);
        StartTransfer(image);
        ASSERT_TRUE(LineCarries(FRAME_SIZE));
        ASSERT_TRUE(SenderParked());
        if (cancelled) {
            window->SetFileChooser([](QWidget*) { return QString(); });
            window->OnSelectFile();
        } else {
            ChooseFile(WriteFile("other.bin", other));
        }
        Answer(RSP_CHECKSUM_ERROR);
        ProcessEventsFor(50ms);
        EXPECT_EQ(line->Size(), FRAME_SIZE) << "the transfer under way has ended";
        EXPECT_GE(window->Engine().FileOffset(), 0);

        Answer(RSP_CONNECTED);
        window->OnStartUpgrade();
        ASSERT_TRUE(LineCarries(2 * FRAME_SIZE));
        EXPECT_EQ(FrameOnLine(1), ExpectedFrame(cancelled ? image : other, 0)) << "from the first block";
        window.reset();
        line.reset();
        boxes.clear();
    }
}

TEST_F(TransferTest, AFileThatGrowsDuringTheTransferSendsOnlyWhatItHeldWhenChosen) {
    const Bytes image = RandomImage(5000, 7);
    StartTransfer(image);
    ASSERT_TRUE(LineCarries(FRAME_SIZE));
    ASSERT_TRUE(SenderParked());
    std::ofstream(folder.File("image.bin"), std::ios::binary | std::ios::app) << std::string(3000, 'x');
    Answer(RSP_BLOCK_OK);
    ASSERT_TRUE(LineCarries(2 * FRAME_SIZE));
    EXPECT_EQ(FrameOnLine(1), ExpectedFrame(image, 4096)) << "0xFF fill and the last-block flag";
}

TEST_F(TransferTest, ChoosingTheDeviceAgainMidFrameNeverSplitsAFrameAcrossTwoOpenings) {
    const Bytes image = RandomImage(10000, 7);
    StartTransfer(image);
    ASSERT_TRUE(LineCarries(FRAME_SIZE));
    ASSERT_TRUE(SenderParked());
    HoldNextFrameWithXoff();  // frame 2 is under way, held at its first byte
    window->OnDeviceSelected({1, PROTOCOL_INDEX_PELCO_D, 0});
    ASSERT_TRUE(com1->Write({0x11}));  // XON: nothing of frame 2 may follow
    ASSERT_TRUE(LineCarries(FRAME_SIZE + 7));
    ProcessEventsFor(100ms);
    const Bytes all = line->Bytes();
    EXPECT_EQ(Bytes(all.begin() + FRAME_SIZE, all.end()), (Bytes{0xFF, 0x01, 0x00, 0x57, 0x00, 0x00, 0x58}))
        << "the start-upgrade command and nothing else";
    EXPECT_TRUE(boxes.empty()) << "ended on purpose, not a failed write";

    // Greeted again, the next start sends the block whole at 115200.
    Answer(RSP_CONNECTED);
    window->OnStartUpgrade();
    ASSERT_TRUE(LineCarries(2 * FRAME_SIZE + 7));
    const Bytes after = line->Bytes();
    EXPECT_EQ(Bytes(after.begin() + FRAME_SIZE + 7, after.begin() + 2 * FRAME_SIZE + 7), ExpectedFrame(image, 4096));
    std::size_t at = 0;
    for (const auto& chunk : line->Chunks()) {
        const bool command = at >= FRAME_SIZE && at < FRAME_SIZE + 7;
        EXPECT_EQ(chunk.baudRate, command ? 2400u : 115200u) << "bytes " << at;
        at += chunk.bytes.size();
    }
}

TEST_F(TransferTest, ASilentHeadIsToldOnceAndALateAnswerStillCounts) {
    const struct {
        const char* after;
        bool transfer;  // the greeting alone, or a frame
    } rows[] = {{"the greeting", false}, {"a frame", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.after);
        if (row.transfer) {
            StartTransfer(RandomImage(10000, 7));
            ASSERT_TRUE(LineCarries(FRAME_SIZE));
            ASSERT_TRUE(SenderParked());
        } else {
            CreateWindow();
            window->OnConnect();
            ASSERT_EQ(com1->Read(2, 2s), (Bytes{0x3F, 0x3F}));
        }
        clock.Advance(UpgradeEngine::kAnswerWait - 2s);
        ProcessEventsFor(600ms);  // looked at twice at least
        EXPECT_TRUE(boxes.empty()) << "not yet";
        clock.Advance(2s);
        ASSERT_TRUE(ProcessEventsUntil([&] { return !boxes.empty(); }));
        clock.Advance(UpgradeEngine::kAnswerWait * 2);
        ProcessEventsFor(600ms);
        EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("云台无应答!")}) << "once";
        Answer(row.transfer ? RSP_BLOCK_OK : RSP_CONNECTED);
        if (row.transfer) {
            EXPECT_TRUE(LineCarries(2 * FRAME_SIZE)) << "the late answer moves the transfer on";
        } else {
            EXPECT_TRUE(ProcessEventsUntil([&] { return window->startUpgradeButton->isEnabled(); }));
        }
        window.reset();
        line.reset();
        boxes.clear();
    }
}

TEST_F(TransferTest, AVanishedPortClosesTheWindowsSideAndAnotherCanBeOpened) {
    StartTransfer(RandomImage(10000, 7));
    ASSERT_TRUE(LineCarries(FRAME_SIZE));
    ASSERT_TRUE(SenderParked());
    line.reset();
    com1.reset();  // the adapter is pulled: the line hangs up
    ASSERT_TRUE(ProcessEventsUntil([&] { return !boxes.empty(); }));
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("串口已断开!")});
    EXPECT_FALSE(State().portOpen);
    EXPECT_EQ(window->ControlAs<QPushButton>(IDC_OPEN_PORT)->text(), QStringLiteral("打开串口"));
    EXPECT_FALSE(window->selectFileButton->isEnabled());
    EXPECT_TRUE(ProcessEventsUntil([] { return ReceiveLoop::RunningCount() == 0; }));

    window->portList->setCurrentIndex(1);  // COM2
    window->OnPortListChange();
    EXPECT_TRUE(State().portOpen);
    EXPECT_EQ(window->ControlAs<QPushButton>(IDC_OPEN_PORT)->text(), QStringLiteral("关闭串口"));
}
