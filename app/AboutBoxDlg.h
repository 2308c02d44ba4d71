// The about box: the icon, the version line and an OK button. It has no handlers of its own:
// OK, Enter, Esc and the close box end it through the dialog's accept and cancel.
#pragma once

#include "app/TemplateDialog.h"

class CAboutBoxDlg : public TemplateDialog {
    Q_OBJECT
  public:
    // owner: the window the box is centred over and keeps disabled while it runs.
    explicit CAboutBoxDlg(QWidget* owner);
    // Runs the box modally; the owner's events (answers from the head among them) are still
    // handled meanwhile. Returns QDialog::Accepted or QDialog::Rejected.
    int DoModal() { return exec(); }
};
