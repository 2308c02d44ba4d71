// The device dialog: the head's bus address, protocol and line speed. Its one button checks
// the address and sends the choice to the main window as WM_DEVICE_SELECTED.
#pragma once

#include "app/TemplateDialog.h"

class QComboBox;

class CDeviceSelectDlg : public TemplateDialog {
    Q_OBJECT
public:
    // parent: the window that owns the dialog and receives WM_DEVICE_SELECTED.
    explicit CDeviceSelectDlg(QWidget* parent);

    int DoModal() { return exec(); }
    void OnStartDevice();

    QComboBox* baudList = nullptr;
    QComboBox* protocolList = nullptr;

private:
    void DoDataExchange();
};
