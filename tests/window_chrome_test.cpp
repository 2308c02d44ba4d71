// The window's chrome as the operator meets it: the system menu and its commands, the about
// box with its texts and closing keys, the icon, the minimised window's drawing, and whether
// every caption of the three dialogs fits its control.
#include <QApplication>
#include <QContextMenuEvent>
#include <QFile>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTextLayout>
#include <QTimer>
#include <QtTest/QTest>
#include <functional>

#include "app/AboutBoxDlg.h"
#include "app/AppIcon.h"
#include "app/DeviceSelectDlg.h"
#include "present/IconPlacement.h"
#include "res/StringTable.h"
#include "res/resource.h"
#include "tests/support/ModalWatcher.h"
#include "tests/support/WindowFixture.h"
#include "upgrade/ResponseCodes.h"

// Readable failure messages for texts.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace {

constexpr std::uint32_t SC_MOVE = 0xF010;
constexpr std::uint32_t SC_CLOSE = 0xF060;

void SendKey(QWidget* target, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
}

struct MenuEntry {
    QString text;  // empty for a separator
    bool separator;
    bool operator==(const MenuEntry&) const = default;
};

std::vector<MenuEntry> Entries(const QMenu* menu) {
    std::vector<MenuEntry> entries;
    for (const QAction* action : menu->actions()) {
        entries.push_back(
            {action->isSeparator() ? QString() : action->text(), action->isSeparator()});
    }
    return entries;
}

QAction* EntryNamed(const QMenu* menu, const QString& text) {
    for (QAction* action : menu->actions()) {
        if (action->text() == text) return action;
    }
    return nullptr;
}

const QString kAboutEntry = QStringLiteral("关于 Kavlet(&A)...");
const QString kCloseEntry = QStringLiteral("关闭(&C)");

}  // namespace

class WindowChromeTest : public WindowFixture {
  protected:
    // Tells whether the about box opened, modally, while the action ran (it is then closed).
    static bool AboutBoxOpensDuring(const std::function<void()>& action) {
        QString title;
        ModalWatcher watcher([&](QDialog* box) {
            if (qobject_cast<CAboutBoxDlg*>(box)) title = box->windowTitle();
        });
        action();
        return watcher.Opened() == 1 && title == QStringLiteral("关于 Kavlet");
    }
};

TEST_F(WindowChromeTest, SystemMenuHoldsCloseThenTheAboutEntryUnlessItsTextIsEmpty) {
    CreateWindow();
    EXPECT_EQ(Entries(window->SystemMenu()),
              (std::vector<MenuEntry>{{kCloseEntry, false}, {{}, true}, {kAboutEntry, false}}));

    window.reset();
    services.strings = [](int) { return QString(); };
    CreateWindow();
    EXPECT_EQ(Entries(window->SystemMenu()), (std::vector<MenuEntry>{{kCloseEntry, false}}))
        << "no separator either";
}

TEST_F(WindowChromeTest, CommandsWhoseBits4To15Read001OpenTheAboutBoxOthersAreTheSystems) {
    CreateWindow();
    window->show();
    for (std::uint32_t id = 0x0010; id <= 0x001F; ++id) {
        EXPECT_TRUE(AboutBoxOpensDuring([&] { window->OnSysCommand(id, 0); })) << std::hex << id;
    }
    EXPECT_TRUE(AboutBoxOpensDuring([&] { window->OnSysCommand(0x12340015, 0); }))
        << "bits 16 to 31 do not count";
    EXPECT_TRUE(
        AboutBoxOpensDuring([&] { EntryNamed(window->SystemMenu(), kAboutEntry)->trigger(); }));
    for (std::uint32_t id : {0x0000u, 0x0020u, 0x00F0u, SC_MOVE, 0xF000u}) {
        EXPECT_FALSE(AboutBoxOpensDuring([&] { window->OnSysCommand(id, 0); })) << std::hex << id;
        EXPECT_TRUE(window->isVisible()) << std::hex << id;
    }

    EXPECT_FALSE(AboutBoxOpensDuring([&] { window->OnSysCommand(SC_CLOSE, 0); }));
    EXPECT_FALSE(window->isVisible()) << "Close ends the main window";
    window->show();
    EntryNamed(window->SystemMenu(), kCloseEntry)->trigger();
    EXPECT_FALSE(window->isVisible()) << "and so does its menu entry";
}

TEST_F(WindowChromeTest, AltSpaceOpensTheMenuAtTheTopLeftWhereverTheFocusIs) {
    CreateWindow();
    window->show();
    window->activateWindow();
    ASSERT_TRUE(ProcessEventsUntil([&] { return window->isActiveWindow(); }));
    QMenu* menu = window->SystemMenu();

    for (QWidget* focus : {static_cast<QWidget*>(window->filePathEdit),
                           static_cast<QWidget*>(window->ControlAs<QPushButton>(IDC_OPEN_PORT))}) {
        focus->setFocus();
        QTest::keyClick(focus, Qt::Key_Space, Qt::AltModifier);
        ASSERT_TRUE(ProcessEventsUntil([&] { return menu->isVisible(); }))
            << focus->objectName().toStdString();
        EXPECT_EQ(menu->pos(), window->mapToGlobal(QPoint(0, 0)));
        menu->hide();
    }
    // The keys went to the menu, not to the controls: no blank typed, the port still open.
    EXPECT_EQ(window->filePathEdit->text(), QString());
    EXPECT_EQ(window->ControlAs<QPushButton>(IDC_OPEN_PORT)->text(), QStringLiteral("关闭串口"));
}

TEST_F(WindowChromeTest, RightClickOnTheFreeAreaOpensTheMenuButNotOnAControl) {
    CreateWindow();
    window->show();
    QMenu* menu = window->SystemMenu();
    auto rightClick = [&](QPoint at) {
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, window->mapToGlobal(at));
        QApplication::sendEvent(window.get(), &event);
        const bool opened = menu->isVisible();
        menu->hide();
        return opened;
    };
    EXPECT_TRUE(rightClick(QPoint(2, 2))) << "bare window";
    EXPECT_TRUE(rightClick(window->Control(IDC_INSTRUCTIONS)->geometry().center()))
        << "static text";
    EXPECT_TRUE(
        rightClick(window->Control(IDC_FILE_STATUS)->geometry().bottomLeft() + QPoint(4, -2)))
        << "inside the group box";
    EXPECT_FALSE(rightClick(window->selectFileButton->geometry().center())) << "push button";
}

class AboutBoxTest : public WindowFixture {};

TEST_F(AboutBoxTest, ShowsTitleIconVersionAndDefaultOkButtonCentredOverItsOwner) {
    CreateWindow();
    window->show();
    CAboutBoxDlg about(window.get());
    about.show();
    EXPECT_EQ(about.windowTitle(), QStringLiteral("关于 Kavlet"));
    EXPECT_EQ(about.findChild<QLabel*>(QStringLiteral("IDC_ABOUT_VERSION"))->text(),
              QStringLiteral("Kavlet 1.0 版"));
    auto* ok = about.ControlAs<QPushButton>(IDOK);
    EXPECT_EQ(ok->text(), QStringLiteral("确定"));
    EXPECT_TRUE(ok->isDefault());
    EXPECT_EQ(about.focusWidget(), ok);
    const QPixmap icon = about.findChild<QLabel*>(QStringLiteral("IDC_ABOUT_ICON"))->pixmap();
    EXPECT_EQ(icon.size(), QSize(kSystemIconSize, kSystemIconSize));
    EXPECT_EQ(about.parentWidget(), window.get());
    EXPECT_TRUE(CentredOver(about.frameGeometry(), window->frameGeometry()));
}

TEST_F(AboutBoxTest, EnterEscAndTheCloseBoxEachEndTheModalRun) {
    CreateWindow();
    window->show();
    const std::pair<const char*, std::function<void(QDialog*)>> ways[] = {
        {"Enter", [](QDialog* box) { SendKey(box->focusWidget(), Qt::Key_Return); }},
        {"Esc", [](QDialog* box) { SendKey(box->focusWidget(), Qt::Key_Escape); }},
        {"close box", [](QDialog* box) { box->close(); }},
        {"OK",
         [](QDialog* box) {
             qobject_cast<CAboutBoxDlg*>(box)->ControlAs<QPushButton>(IDOK)->click();
         }},
    };
    for (const auto& [name, closeIt] : ways) {
        CAboutBoxDlg about(window.get());
        bool modal = false;
        bool closed = false;
        ModalWatcher watcher([&](QDialog* box) {
            modal = box == &about && box->isModal();
            closeIt(box);
            closed = !box->isVisible();
        });
        about.DoModal();
        EXPECT_TRUE(modal) << name;
        EXPECT_TRUE(closed) << name << " closes the box by itself";
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << name;
    }
    EXPECT_TRUE(window->isVisible()) << "the main window stays";
}

TEST_F(AboutBoxTest, TheMainWindowKeepsHandlingTheHeadsAnswersWhileTheBoxIsOpen) {
    CreateWindow();
    window->show();
    bool connectedShown = false;
    bool failureShown = false;
    bool boxStillOpen = false;
    ModalWatcher watcher([&](QDialog* box) {
        // A posted answer, and one arriving on the line through the receive loop.
        QMetaObject::invokeMethod(
            window.get(),
            [&] { window->OnSerialData(std::vector<std::uint8_t>{RSP_CONNECTED}); },
            Qt::QueuedConnection);
        connectedShown = ProcessEventsUntil(
            [&] { return window->connectButton->text() == QStringLiteral("连接成功"); });
        com1->Write({RSP_FAILED});
        failureShown = ProcessEventsUntil([&] { return !boxes.empty(); });
        boxStillOpen = box->isVisible() && QApplication::activeModalWidget() == box;
    });
    window->OnSysCommand(IDM_ABOUT_BOX, 0);
    EXPECT_EQ(watcher.Opened(), 1);
    EXPECT_TRUE(connectedShown);
    EXPECT_FALSE(window->connectButton->isEnabled());
    EXPECT_TRUE(window->startUpgradeButton->isEnabled());
    EXPECT_TRUE(failureShown);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("更新失败!")});
    EXPECT_TRUE(boxStillOpen);
}

class AppIconTest : public WindowFixture {};

TEST_F(AppIconTest, OneSixteenBySixteenImageIn24BitColourIsTheWindowAndDragIcon) {
    QFile file(QStringLiteral(":/res/app_icon.ppm"));
    (void)AppIconPixmap();  // registers the resources
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().startsWith("P6\n16 16\n255\n")) << "binary RGB, 8 bits per channel";

    const QImage image = AppIconPixmap().toImage();
    ASSERT_EQ(image.size(), QSize(16, 16));
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << "the corner is background";
    int opaque = 0;
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) opaque += qAlpha(image.pixel(x, y)) == 255;
    }
    EXPECT_GT(opaque, 64) << "there is a picture";
    // Drawn larger, each pixel is repeated, not blurred.
    const QImage big = AppIconPixmap(kSystemIconSize).toImage();
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) ASSERT_EQ(big.pixel(2 * x + 1, 2 * y + 1), image.pixel(x, y));
    }

    CreateWindow();
    const QList<QSize> sizes = window->windowIcon().availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(16, 16))) << "small icon";
    EXPECT_TRUE(sizes.contains(QSize(32, 32))) << "big icon";
    EXPECT_EQ(window->windowIcon().cacheKey(), window->appIcon.cacheKey());
    EXPECT_EQ(window->OnQueryDragIcon().cacheKey(), window->appIcon.cacheKey());
}

TEST_F(AppIconTest, MinimisedWindowDrawsTheIconCentredAtTheSystemIconSize) {
    CreateWindow();
    const QImage icon = AppIconPixmap(kSystemIconSize).toImage();
    // The window itself, without its controls.
    auto drawWindow = [&] {
        QImage image(window->size(), QImage::Format_ARGB32);
        image.fill(Qt::black);
        window->render(&image, QPoint(), QRegion(), QWidget::DrawWindowBackground);
        return image;
    };
    auto iconPixelsAt = [&](const QImage& image, IconPosition at) {
        int matching = 0, opaque = 0;
        for (int y = 0; y < icon.height(); ++y) {
            for (int x = 0; x < icon.width(); ++x) {
                if (qAlpha(icon.pixel(x, y)) != 255) continue;
                ++opaque;
                matching += image.pixel(at.x + x, at.y + y) == icon.pixel(x, y);
            }
        }
        return std::pair{matching, opaque};
    };

    const IconPosition at =
        CenteredIconPosition(window->width(), window->height(), kSystemIconSize, kSystemIconSize);
    const auto [beforeMatching, beforeOpaque] = iconPixelsAt(drawWindow(), at);
    EXPECT_LT(beforeMatching, beforeOpaque / 4)
        << "a window on screen shows its controls, not the icon";

    window->setWindowState(Qt::WindowMinimized);
    const QImage minimised = drawWindow();
    const auto [matching, opaque] = iconPixelsAt(minimised, at);
    EXPECT_EQ(matching, opaque);
    EXPECT_EQ(minimised.pixel(at.x - 1, at.y - 1), window->palette().window().color().rgb())
        << "background around it";
}

// Every caption of the three dialogs is shown whole in the dialog's font.
class DialogLookTest : public WindowFixture {
  protected:
    static void ExpectCaptionsFit(const QWidget& dialog) {
        for (const QLabel* label : dialog.findChildren<QLabel*>()) {
            if (label->text().isEmpty()) continue;
            EXPECT_LE(label->heightForWidth(label->width()), label->height())
                << label->objectName().toStdString() << " needs more lines than it has room for";
            EXPECT_LE(label->x() + label->width(), dialog.width())
                << label->objectName().toStdString();
        }
        for (const QPushButton* button : dialog.findChildren<QPushButton*>()) {
            EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()) + 8, button->width())
                << button->objectName().toStdString();
            EXPECT_GE(button->height(), button->fontMetrics().height())
                << button->objectName().toStdString();
        }
        for (const QGroupBox* group : dialog.findChildren<QGroupBox*>()) {
            EXPECT_LT(group->fontMetrics().horizontalAdvance(group->title()), group->width());
        }
    }
};

TEST_F(DialogLookTest, MainWindowCaptionsFitAndTheInstructionsWrapIntoTheirThreeLines) {
    CreateWindow();
    ExpectCaptionsFit(*window);

    const auto* instructions = window->ControlAs<QLabel>(IDC_INSTRUCTIONS);
    QTextLayout layout(instructions->text(), instructions->font());
    QTextOption wrap;
    wrap.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(wrap);
    layout.beginLayout();
    std::vector<QString> lines;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(instructions->width());
        lines.push_back(instructions->text().mid(line.textStart(), line.textLength()).trimmed());
    }
    layout.endLayout();
    EXPECT_EQ(lines, (std::vector<QString>{QStringLiteral("----串口更新说明----"),
                                           QStringLiteral("波特率：115200"),
                                           QStringLiteral("升级文件：*.bin")}));
}

TEST_F(DialogLookTest, DeviceDialogAndAboutBoxCaptionsFitAndAllKeepTheirTemplatesShape) {
    CreateWindow();
    CDeviceSelectDlg device(window.get());
    ExpectCaptionsFit(device);
    CAboutBoxDlg about(window.get());
    ExpectCaptionsFit(about);
    // A dialog unit is as high as it is wide in pixels with the faces the templates name
    // (twice as many pixels per line as per letter), so the window has the template's shape.
    const std::pair<const QWidget*, const DialogTemplate*> dialogs[] = {
        {window.get(), &kUpgradeMainTemplate},
        {&device, &kDeviceSelectTemplate},
        {&about, &kAboutBoxTemplate}};
    for (const auto& [dialog, t] : dialogs) {
        const double ratio = double(dialog->width()) / dialog->height();
        const double expected = double(t->width) / t->height;
        EXPECT_NEAR(ratio, expected, expected * 0.02) << dialog->windowTitle().toStdString();
    }
}
