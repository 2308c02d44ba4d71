// The window on a pseudo-terminal during a transfer: the counts readable on screen and read
// out, and the head's XOFF on a real line (a window closed while it holds a frame, a stale one
// on a new opening). What the window shows and sends is the presenter's
// (tests/presenter_test.cpp).
#include <QAccessible>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <fstream>
#include <map>

#include "res/resource.h"
#include "tests/support/ChunkSpy.h"
#include "tests/support/LineRecorder.h"
#include "tests/support/ModalWatcher.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestImages.h"
#include "tests/support/WindowFixture.h"
#include "upgrade/FirmwareFrame.h"
#include "upgrade/ResponseCodes.h"
#include "upgrade/Sender.h"

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

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

    // File chosen (the device dialog closed at once), head greeted, transfer started, the
    // first frame out and the sender waiting for its answer.
    void StartTransfer(const Bytes& image) {
        CreateWindow();
        answers.Watch(window->Engine());
        line = std::make_unique<LineRecorder>(com1->MasterFd());
        const auto path = folder.File("image.bin");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), image.size());
        window->SetFileChooser([path](QWidget*) { return QString::fromStdString(path); });
        RejectNextModalDialog();
        window->OnSelectFile();
        Answer(RSP_CONNECTED);
        ASSERT_TRUE(ProcessEventsUntil([&] { return window->startUpgradeButton->isEnabled(); }));
        window->OnStartUpgrade();
        ASSERT_TRUE(LineCarries(FRAME_SIZE));
        ASSERT_TRUE(SenderParked());
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
    bool SenderParked() {
        return ProcessEventsUntil([this] { return State().senderAwake == 0; }, 10s);
    }
    QString Label(int id) const { return window->ControlAs<QLabel>(id)->text(); }

    TempDir folder{"kavlet-transfer"};
    std::unique_ptr<LineRecorder> line;
    ChunkSpy answers;  // the chunks handed to the window
};

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
        for (const auto& [id, caption] :
             {std::pair{IDC_TOTAL_COUNT, "需更新:"}, std::pair{IDC_SENT_COUNT, "已更新:"}}) {
            SCOPED_TRACE(caption);
            auto* label = window->ControlAs<QLabel>(id);
            const QPoint at = label->mapTo(window.get(), QPoint(0, 0));
            // The new number reaches the screen once painted: looked at until it reads, on a
            // loaded machine too.
            QImage pixels;
            ProcessEventsUntil([&] {
                pixels = window->screen()
                             ->grabWindow(window->winId(), at.x(), at.y(), label->width(),
                                          label->height())
                             .toImage();
                return ReadabilityOf(pixels).empty();
            });
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

TEST_F(TransferTest, ClosingTheWindowMidFrameEndsTheSenderWithoutHanging) {
    StartTransfer(RandomImage(9000, 7));
    HoldNextFrameWithXoff();
    const SenderThread* sender = State().senderThread.get();
    ASSERT_NE(sender, nullptr);
    ASSERT_FALSE(sender->Finished()) << "held by XOFF on its frame";
    window.reset();  // returns only once the sender has ended
}

TEST_F(TransferTest, AStaleXoffDoesNotHoldANewOpening) {
    StartTransfer(RandomImage(5000, 7));
    ASSERT_TRUE(com1->Write({0x13}));  // XOFF, never followed by XON
    ProcessEventsFor(20ms);
    window->OnOpenPortButton();
    window->OnOpenPortButton();
    ASSERT_TRUE(window->SendHexText("3F 3F"));
    ASSERT_TRUE(LineCarries(FRAME_SIZE + 2)) << "the greeting goes out on the new opening";
}
