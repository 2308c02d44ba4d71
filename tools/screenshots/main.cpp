// Renders the tool's three dialogs to PNG files, as the operator would see their client areas:
//   kavlet-screenshots DIR
// writes DIR/main-window.png, DIR/device-dialog.png and DIR/about-box.png. The main window
// opens COM1 on a pseudo-terminal of its own, never on a serial device of this machine.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <cstdio>
#include <string>

#include "app/AboutBoxDlg.h"
#include "app/DeviceSelectDlg.h"
#include "app/MessageBox.h"
#include "app/QtTranslation.h"
#include "app/UpgradeDlg.h"
#include "serial/PortNames.h"

namespace {

bool Save(QWidget& dialog, const QDir& dir, const char* fileName) {
    dialog.ensurePolished();
    const QString path = dir.filePath(QString::fromLatin1(fileName));
    if (!dialog.grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
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
    SetPortNameResolver([slave](const std::string& name) {
        return name == "COM1" && !slave.empty() ? slave : "/nonexistent/" + name;
    });
    SetMessageBoxPresenter([](const MessageBoxRequest& request) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(request.caption), qPrintable(request.text));
    });

    bool ok = true;
    {
        CUpgradeDlg window;
        window.OnInitDialog();
        ok = Save(window, dir, "main-window.png") && ok;
        CDeviceSelectDlg device(&window);
        ok = Save(device, dir, "device-dialog.png") && ok;
        CAboutBoxDlg about(&window);
        ok = Save(about, dir, "about-box.png") && ok;
    }
    if (master >= 0) close(master);
    return ok ? 0 : 1;
}
