#include "app/MessageBox.h"

#include <QApplication>
#include <QFileInfo>
#include <QGridLayout>
#include <QMessageBox>
#include <QScreen>
#include <QSpacerItem>
#include <QStyle>

#include "app/BusyScope.h"

namespace {

// A box with one OK button that is never narrower than its caption, and that stands in the
// middle of the screen while its owner is not on screen yet (a box shown during start-up).
class OperatorMessageBox : public QMessageBox {
  public:
    OperatorMessageBox(const MessageBoxRequest& request)
        : QMessageBox(
              request.icon == MessageIcon::Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon,
              request.caption, request.text, QMessageBox::Ok, request.owner) {
        // A message box sizes itself to its text; a window manager then cuts a longer caption
        // short. A spacer across the bottom row keeps the caption's width.
        if (auto* grid = qobject_cast<QGridLayout*>(layout())) {
            grid->addItem(new QSpacerItem(MinimumWidthForCaption(request.caption), 0),
                          grid->rowCount(), 0, 1, grid->columnCount());
        }
    }

  protected:
    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event);  // sizes the box and places it over its owner
        const QWidget* owner = parentWidget();
        if (owner && owner->isVisible()) return;
        const QScreen* onScreen = owner ? owner->screen() : screen();
        if (!onScreen) return;
        QRect frame = frameGeometry();
        frame.moveCenter(onScreen->availableGeometry().center());
        move(frame.topLeft());
    }
};

}  // namespace

int MinimumWidthForCaption(const QString& caption) {
    // The title bar's font is the window manager's; the application's font is the nearest
    // measure this side has. The reserve holds the window icon and the title bar's buttons.
    constexpr int kTitleBarReserve = 150;
    const QFontMetrics metrics(QApplication::font());
    return metrics.horizontalAdvance(caption) + kTitleBarReserve;
}

QString ApplicationName() {
    return QFileInfo(QCoreApplication::applicationFilePath()).baseName();
}

void ShowMessageBox(const MessageBoxRequest& request) {
    OperatorMessageBox box(request);
    // A box during the pauses of a busy stretch takes clicks of its own: input made before it
    // appeared (an Enter pressed into the frozen window) must not close it unread.
    const bool busy = BusyScope::Active();
    if (busy) {
        DropQueuedInput();
        QApplication::setOverrideCursor(Qt::ArrowCursor);
    }
    box.exec();
    if (busy) QApplication::restoreOverrideCursor();
}
