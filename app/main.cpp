#include <QApplication>

#include "app/UpgradeApp.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    CUpgradeApp app;
    app.InitInstance();
    return 0;
}
