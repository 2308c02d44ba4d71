// The window's own system menu (Linux window managers give a program none to extend), the
// about box it opens, the window icons and the drawing of the minimised window.
#include <QContextMenuEvent>
#include <QKeySequence>
#include <QMenu>
#include <QPainter>
#include <QShortcut>

#include "app/AboutBoxDlg.h"
#include "app/AppIcon.h"
#include "app/IconPlacement.h"
#include "app/StringTable.h"
#include "app/UpgradeDlg.h"
#include "res/resource.h"

namespace {
// The system's own commands. Their low four bits are the system's, so commands are compared
// with those bits masked off.
constexpr std::uint32_t SC_MINIMIZE = 0xF020;
constexpr std::uint32_t SC_CLOSE = 0xF060;
constexpr std::uint32_t SC_RESTORE = 0xF120;
constexpr std::uint32_t kCommandMask = 0xFFF0;

// The system menu opens at the window's top-left corner, as a caption's menu would.
void PopUpAtTopLeft(QMenu* menu, QWidget* window) {
    if (menu) menu->popup(window->mapToGlobal(QPoint(0, 0)));
}
}  // namespace

void CUpgradeDlg::SetUpSystemMenu() {
    systemMenu_ = new QMenu(this);
    systemMenu_->setObjectName(QStringLiteral("systemMenu"));
    systemMenu_->setAccessibleName(windowTitle());
    QAction* close = systemMenu_->addAction(QStringLiteral("关闭(&C)"), this,
                                            [this] { OnSysCommand(SC_CLOSE, 0); });
    close->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));  // shown beside it, as usual
    // An empty or missing menu text adds nothing, not even the separator.
    const QString aboutText = services_.strings ? services_.strings(IDS_ABOUT_MENU) : LoadString(IDS_ABOUT_MENU);
    if (!aboutText.isEmpty()) {
        systemMenu_->addSeparator();
        systemMenu_->addAction(aboutText, this, [this] { OnSysCommand(IDM_ABOUT_BOX, 0); });
    }
    // Alt+Space opens it wherever the focus is: a shortcut is matched before the focused
    // control sees the key (an edit would take the blank, a button would be pressed).
    auto* openMenu = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    connect(openMenu, &QShortcut::activated, this, [this] { PopUpAtTopLeft(systemMenu_, this); });

    // Big and small window icons: the icon carries its image at both sizes.
    setWindowIcon(appIcon);
}

void CUpgradeDlg::OnSysCommand(std::uint32_t commandId, std::uint32_t) {
    switch (commandId & kCommandMask) {
        case IDM_ABOUT_BOX: {
            CAboutBoxDlg about(this);
            about.DoModal();
            return;
        }
        // The system's own commands, as the window manager would carry them out.
        case SC_CLOSE:
            close();
            return;
        case SC_MINIMIZE:
            showMinimized();
            return;
        case SC_RESTORE:
            showNormal();
            return;
        default:
            return;
    }
}

void CUpgradeDlg::contextMenuEvent(QContextMenuEvent* e) {
    // A right-click on the window's free area: on no control that takes input (controls
    // with menus of their own, the edits, have taken the click already).
    QWidget* control = childAt(e->pos());
    while (control && control->parentWidget() != this) control = control->parentWidget();
    if (!control || control->focusPolicy() == Qt::NoFocus) {
        PopUpAtTopLeft(systemMenu_, this);
        e->accept();
        return;
    }
    TemplateDialog::contextMenuEvent(e);
}

void CUpgradeDlg::paintEvent(QPaintEvent* e) {
    if (!isMinimized()) {
        TemplateDialog::paintEvent(e);
        return;
    }
    OnPaint();
}

void CUpgradeDlg::OnPaint() {
    QPainter painter(this);
    // The background an icon is drawn on, then the icon centred at the system's icon size.
    painter.fillRect(rect(), palette().window());
    const IconPosition at =
        CenteredIconPosition(width(), height(), kSystemIconSize, kSystemIconSize);
    appIcon.paint(&painter, at.x, at.y, kSystemIconSize, kSystemIconSize);
}
