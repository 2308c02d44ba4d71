#include "app/AboutBoxDlg.h"

#include <QLabel>
#include <QPushButton>

#include "app/AppIcon.h"
#include "res/resource.h"

CAboutBoxDlg::CAboutBoxDlg(QWidget* owner) : TemplateDialog(kAboutBoxTemplate, owner) {
    // An icon control takes the size of the icon it shows, drawn at the system's icon size.
    auto* icon = findChild<QLabel*>(QStringLiteral("IDC_ABOUT_ICON"));
    icon->setPixmap(AppIconPixmap(kSystemIconSize));
    icon->resize(kSystemIconSize, kSystemIconSize);
    icon->setAccessibleName(QStringLiteral("Kavlet 图标"));
    auto* ok = ControlAs<QPushButton>(IDOK);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    ok->setFocus();
}
