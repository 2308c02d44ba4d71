// The about box: the icon, the version line and an OK button.
#pragma once

#include "app/TemplateDialog.h"

class CAboutBoxDlg : public TemplateDialog {
    Q_OBJECT
public:
    explicit CAboutBoxDlg(QWidget* owner);
    int DoModal() { return exec(); }
};
