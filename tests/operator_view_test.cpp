// What the operator sees around the transfer itself: message boxes with Chinese buttons, wide
// enough for their captions and placed where the eye is; the file dialog in Chinese; the busy
// cursor while the device handshake freezes the window, and no click made meanwhile acted on.
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <fstream>

#include "app/DeviceSelectDlg.h"
#include "res/resource.h"
#include "tests/support/LineRecorder.h"
#include "tests/support/ModalWatcher.h"
#include "tests/support/TempDir.h"
#include "tests/support/WindowFixture.h"

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace {

bool HasChinese(const QString& text) {
    return std::any_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() >= 0x4E00 && c.unicode() <= 0x9FFF; });
}

QStringList ButtonTexts(const QDialog* dialog) {
    QStringList texts;
    for (const auto* button : dialog->findChildren<QAbstractButton*>()) {
        if (button->isVisible() && !button->text().isEmpty()) texts << button->text();
    }
    return texts;
}

// Posts a left click on the middle of the widget, as the window system queues one.
void PostClick(QWidget* target) {
    const QPointF at = QRectF(target->rect()).center();
    for (const auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QCoreApplication::postEvent(
            target,
            new QMouseEvent(type, at, target->mapToGlobal(at), Qt::LeftButton,
                            type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                            Qt::NoModifier));
    }
}

}  // namespace

// Real message boxes, not recorded ones.
class OperatorViewTest : public WindowFixture {
  protected:
    void SetUp() override {
        WindowFixture::SetUp();
        services.presenter = nullptr;
    }

    struct SeenBox {
        QString title, text;
        QStringList buttons;
        QRect frame;
        QPoint screenCentre;
    };
    // Runs the action, which shows one box, and tells what the box was like.
    static SeenBox BoxDuring(const std::function<void()>& action) {
        SeenBox seen;
        ModalWatcher watcher([&](QDialog* dialog) {
            auto* box = qobject_cast<QMessageBox*>(dialog);
            if (!box) return;
            seen = {box->windowTitle(), box->text(), ButtonTexts(box), box->frameGeometry(),
                    box->screen()->availableGeometry().center()};
        });
        action();
        EXPECT_EQ(watcher.Opened(), 1);
        return seen;
    }
};

TEST_F(OperatorViewTest, BoxesSayQueDingAreWideForTheirCaptionAndStandWhereTheEyeIs) {
    // Start-up without COM1: the window is not on screen yet, so the box takes the screen's middle.
    com1.reset();
    SeenBox box = BoxDuring([&] { CreateWindow(); });
    EXPECT_EQ(box.text, QStringLiteral("串口打开错误"));
    EXPECT_EQ(box.title, QStringLiteral("Open Com"));
    EXPECT_LE((box.frame.center() - box.screenCentre).manhattanLength(), 2)
        << "middle of the screen";

    window->show();
    ASSERT_TRUE(ProcessEventsUntil([&] { return window->isVisible(); }));
    const struct {
        QString text, caption;
        MessageIcon icon;
    } rows[] = {
        {QStringLiteral("校验错误"), {}, MessageIcon::None},
        {QStringLiteral("串口打开错误"), QStringLiteral("Open Com"), MessageIcon::Exclamation},
        {QStringLiteral("!"), QStringLiteral("一个很长很长的标题, 它比消息本身宽得多得多"),
         MessageIcon::None},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text.toStdString());
        box = BoxDuring([&] { window->MessageBox(row.text, row.caption, row.icon); });
        const QString caption = row.caption.isEmpty() ? ApplicationName() : row.caption;
        EXPECT_EQ(box.title, caption);
        EXPECT_EQ(box.buttons, QStringList{QStringLiteral("确定")});
        EXPECT_GE(box.frame.width(), MinimumWidthForCaption(caption));
        EXPECT_GE(box.frame.width(),
                  QFontMetrics(QApplication::font()).horizontalAdvance(caption) + 100)
            << "room for the caption beside the title bar's icon and buttons";
        EXPECT_TRUE(CentredOver(box.frame, window->frameGeometry())) << "over the main window";
    }
}

TEST_F(OperatorViewTest, TheFileDialogSpeaksChinese) {
    CreateWindow();
    QStringList texts;
    ModalWatcher watcher([&](QDialog* dialog) {
        ASSERT_NE(qobject_cast<QFileDialog*>(dialog), nullptr);
        for (const char* name : {"lookInLabel", "fileNameLabel", "fileTypeLabel"}) {
            if (const auto* label = dialog->findChild<QLabel*>(QLatin1String(name)))
                texts << label->text();
        }
        texts << ButtonTexts(dialog);
    });
    window->OnSelectFile();
    ASSERT_EQ(watcher.Opened(), 1);
    ASSERT_GE(texts.size(), 5) << texts.join(u'|').toStdString();
    for (const QString& text : texts) {
        EXPECT_TRUE(HasChinese(text))
            << text.toStdString() << " of " << texts.join(u'|').toStdString();
        for (const char* english : {"Look in", "File name", "Files of type", "Open", "Cancel"})
            EXPECT_FALSE(text.contains(QLatin1String(english))) << text.toStdString();
    }
}

TEST_F(OperatorViewTest, TheHandshakeShowsTheBusyCursorAndDropsClicksMadeDuringIt) {
    std::vector<std::chrono::milliseconds> pauses;
    std::vector<int> cursors;  // the override cursor's shape at each pause, -1 for none
    std::function<void()> duringFirstPause;
    clock.onPause = [&](std::chrono::milliseconds duration) {
        if (pauses.empty() && duringFirstPause) duringFirstPause();
        pauses.push_back(duration);
        const QCursor* cursor = QApplication::overrideCursor();
        cursors.push_back(cursor ? int(cursor->shape()) : -1);
    };
    CreateWindow();
    window->show();
    LineRecorder line(com1->MasterFd());
    TempDir folder{"kavlet-busy"};
    const std::string image = folder.File("image.bin");
    std::ofstream(image, std::ios::binary) << "image";
    int choices = 0;  // a second choice (a click that got through) chooses nothing
    window->SetFileChooser(
        [&](QWidget*) { return ++choices == 1 ? QString::fromStdString(image) : QString(); });
    bool dialogClosed = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<CDeviceSelectDlg*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        QObject::connect(dialog, &QDialog::finished, [&] { dialogClosed = true; });
        dialog->ControlAs<QPushButton>(IDC_START_DEVICE)->click();
    });

    duringFirstPause = [&] {
        // The operator clicks on, into the frozen window: on "选择文件" and on "连接云台" (the
        // connect button is enabled by the handshake itself).
        PostClick(window->selectFileButton);
        PostClick(window->connectButton);
    };
    window->OnSelectFile();
    ProcessEventsFor(100ms);

    EXPECT_EQ(pauses, std::vector<std::chrono::milliseconds>(4, 500ms));
    EXPECT_EQ(cursors, std::vector<int>(4, int(Qt::WaitCursor)));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the arrow is back";
    ASSERT_TRUE(line.WaitForBytes(7, 2s));
    ProcessEventsFor(100ms);
    EXPECT_EQ(line.Bytes(), (Bytes{0xFF, 0x01, 0x00, 0x57, 0x00, 0x00, 0x58}))
        << "one command, no greeting";
    EXPECT_TRUE(dialogClosed);
    EXPECT_EQ(choices, 1) << "the click on 选择文件 was dropped";

    // A click after the handshake is the operator's own and is acted on.
    ASSERT_TRUE(window->connectButton->isEnabled());
    window->connectButton->click();
    ASSERT_TRUE(line.WaitForBytes(9, 2s));
    const Bytes all = line.Bytes();
    EXPECT_EQ(Bytes(all.begin() + 7, all.end()), (Bytes{0x3F, 0x3F}));
}
