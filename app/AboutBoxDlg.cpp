#include "app/AboutBoxDlg.h"

#include <QLabel>
#include <QPushButton>

#include "app/AppIcon.h"
#include "res/resource.h"

CAboutBoxDlg::CAboutBoxDlg(QWidget* owner) : TemplateDialog(kAboutBoxTemplate, owner) {
    auto* icon = findChild<QLabel*>(QStringLiteral("IDC_ABOUT_ICON"));
    icon->setPixmap(LoadAppIcon().pixmap(16, 16));
    icon->setAccessibleName(QStringLiteral("Kavlet"));
    auto* ok = ControlAs<QPushButton>(IDOK);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    ok->setFocus();
}
