#include "app/BusyScope.h"

#include <QApplication>
#include <QEvent>

namespace {

// Swallows the operator's input while it is installed.
class InputSwallower : public QObject {
  public:
    bool eventFilter(QObject*, QEvent* event) override {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::ShortcutOverride:
            case QEvent::Shortcut:
            case QEvent::Wheel:
            case QEvent::TouchBegin:
            case QEvent::TouchUpdate:
            case QEvent::TouchEnd:
                return true;
            default:
                return false;
        }
    }
};

int openScopes = 0;

}  // namespace

void DropQueuedInput() {
    InputSwallower swallower;
    qApp->installEventFilter(&swallower);
    // The first pass takes what the window system has queued; input it turns into further
    // events (a click into a shortcut, say) is delivered, and swallowed, by the second.
    QApplication::processEvents();
    QApplication::processEvents();
    qApp->removeEventFilter(&swallower);
}

BusyScope::BusyScope() {
    ++openScopes;
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

BusyScope::~BusyScope() {
    DropQueuedInput();
    QApplication::restoreOverrideCursor();
    --openScopes;
}

bool BusyScope::Active() {
    return openScopes > 0;
}
