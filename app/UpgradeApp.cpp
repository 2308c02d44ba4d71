#include "app/UpgradeApp.h"

#include "app/UpgradeDlg.h"

namespace {
QWidget* mainWindow = nullptr;
}

QWidget* AfxGetMainWnd() { return mainWindow; }

bool CUpgradeApp::InitInstance() {
    CUpgradeDlg dialog;
    mainWindow = &dialog;
    dialog.DoModal();
    mainWindow = nullptr;
    return false;
}
