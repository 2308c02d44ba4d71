#include "app/MessageBox.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>

namespace {
MessageBoxPresenter presenterOverride;
}

QString ApplicationName() {
    return QFileInfo(QCoreApplication::applicationFilePath()).baseName();
}

void ShowMessageBox(QWidget* owner, const QString& text, const QString& caption, MessageIcon icon) {
    MessageBoxRequest request{owner, text, caption.isEmpty() ? ApplicationName() : caption, icon};
    if (presenterOverride) {
        presenterOverride(request);
        return;
    }
    QMessageBox box(icon == MessageIcon::Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon,
                    request.caption, request.text, QMessageBox::Ok, owner);
    box.exec();
}

void SetMessageBoxPresenter(MessageBoxPresenter presenter) { presenterOverride = std::move(presenter); }
