#include "app/UpgradeApp.h"

#include "app/UpgradeDlg.h"

bool CUpgradeApp::InitInstance() {
    CUpgradeDlg dialog;
    dialog.DoModal();
    return false;
}
