#include <QApplication>

#include "app/QtTranslation.h"
#include "app/UpgradeApp.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    InstallQtChineseTranslation();  // without it, Qt's own buttons stay English
    CUpgradeApp app;
    app.InitInstance();
    return 0;
}
