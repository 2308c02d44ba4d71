// The device dialog: the head's bus address, protocol and line speed. Its one button checks
// the address (present/DeviceChoice.h) and closes the dialog with the choice, which its owner
// then acts on.
#pragma once

#include <optional>

#include "app/MessageBox.h"
#include "app/TemplateDialog.h"
#include "upgrade/PelcoCommand.h"

class QComboBox;

class CDeviceSelectDlg : public TemplateDialog {
    Q_OBJECT
  public:
    // parent: the window that owns the dialog. tell: how a box over the dialog is shown (the
    // owner's way); empty: ShowMessageBox.
    explicit CDeviceSelectDlg(QWidget* parent, MessageBoxPresenter tell = {});

    int DoModal() { return exec(); }
    void OnStartDevice();
    // The device chosen with the dialog's button, none before.
    std::optional<DeviceSelection> Choice() const { return choice_; }

    QComboBox* baudList = nullptr;
    QComboBox* protocolList = nullptr;

  private:
    void DoDataExchange();

    MessageBoxPresenter tell_;
    std::optional<DeviceSelection> choice_;
};
