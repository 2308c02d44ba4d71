// Pictures of the tool's dialogs as the operator sees them:
//   kavlet-screenshots DIR
// writes DIR/main-window.png, DIR/message-box.png, DIR/device-dialog.png and DIR/about-box.png.
// On an X server (QT_QPA_PLATFORM=xcb) each is taken from the screen with its window frame;
// headless (offscreen) only the client areas are rendered. The main window
// opens COM1 on a pseudo-terminal of its own, never on a serial device of this machine.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <cerrno>
#include <cstdio>
#include <string>

#include "app/AboutBoxDlg.h"
#include "app/DeviceSelectDlg.h"
#include "app/MessageBox.h"
#include "app/QtTranslation.h"
#include "app/UpgradeDlg.h"

namespace {

bool Write(const QPixmap& picture, const QDir& dir, const char* fileName) {
    const QString path = dir.filePath(QString::fromLatin1(fileName));
    if (!picture.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// On a real display the dialog is shown and taken from the screen with the window manager's
// frame around it; headless, its client area is rendered.
QPixmap Picture(QWidget& dialog) {
    dialog.ensurePolished();
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) return dialog.grab();
    const bool wasVisible = dialog.isVisible();
    dialog.show();
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 3000 &&
           !(dialog.windowHandle() && dialog.windowHandle()->isExposed())) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    // Give the window manager time to frame and place it, and the window time to paint.
    while (timer.elapsed() < 3500) QApplication::processEvents(QEventLoop::AllEvents, 50);
    const QRect frame = dialog.frameGeometry();
    QPixmap picture =
        dialog.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    if (!wasVisible) dialog.hide();
    return picture;
}

bool Save(QWidget& dialog, const QDir& dir, const char* fileName) {
    return Write(Picture(dialog), dir, fileName);
}

// Boxes other than the pictured one are printed, not shown.
void PrintBox(const MessageBoxRequest& request) {
    std::fprintf(stderr, "%s: %s\n", qPrintable(request.caption), qPrintable(request.text));
}

// A message box as the operator meets it at the end of an upgrade.
bool SaveMessageBox(QWidget& owner, const QDir& dir, const char* fileName) {
    bool ok = false;
    QTimer::singleShot(0, [&] {
        if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            ok = Save(*box, dir, fileName);
            box->accept();
        }
    });
    // Captioned as the tool names itself.
    ShowMessageBox({&owner, QStringLiteral("更新成功!"), QStringLiteral("kavlet")});
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    InstallQtChineseTranslation();
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.exists()) {
        std::fprintf(stderr, "no such directory: %s\n", argv[1]);
        return 2;
    }

    // COM1 is a pseudo-terminal held here, so the window starts as it does with a port.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    std::string slave;
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) slave = ptsname(master);
    WindowServices services;
    services.openLine = [slave](const std::string& name) {
        return name == "COM1" && !slave.empty()
                   ? OpenPlatformLine(slave)
                   : LineOpenResult{nullptr, LineError::FromErrno(ENOENT)};
    };
    services.presenter = PrintBox;

    bool ok = true;
    {
        CUpgradeDlg window(nullptr, services);
        window.OnInitDialog();
        if (QGuiApplication::platformName() != QLatin1String("offscreen")) window.show();
        ok = Save(window, dir, "main-window.png") && ok;
        ok = SaveMessageBox(window, dir, "message-box.png") && ok;
        CDeviceSelectDlg device(&window);
        ok = Save(device, dir, "device-dialog.png") && ok;
        CAboutBoxDlg about(&window);
        ok = Save(about, dir, "about-box.png") && ok;
    }
    if (master >= 0) close(master);
    return ok ? 0 : 1;
}
