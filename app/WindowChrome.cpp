// The window's own system menu (Linux window managers give a program none to extend), the
// about box it opens, the window icons and the drawing of the minimised window.
#include <QContextMenuEvent>
#include <QMenu>
#include <QPainter>

#include "app/AboutBoxDlg.h"
#include "app/IconPlacement.h"
#include "app/StringTable.h"
#include "app/UpgradeDlg.h"
#include "res/resource.h"

namespace {
constexpr std::uint32_t SC_CLOSE = 0xF060;       // the system's Close command
constexpr std::uint32_t kCommandMask = 0xFFF0;   // the low four bits are the system's own
constexpr int kSystemIconSize = 32;              // size of the icon drawn in a minimised window
}  // namespace

void CUpgradeDlg::SetUpSystemMenu() {
    systemMenu_ = new QMenu(this);
    systemMenu_->setObjectName(QStringLiteral("systemMenu"));
    systemMenu_->addAction(QStringLiteral("关闭(&C)"), this, [this] { OnSysCommand(SC_CLOSE, 0); });
    const QString aboutText = LoadString(IDS_ABOUT_MENU);
    if (!aboutText.isEmpty()) {
        systemMenu_->addSeparator();
        systemMenu_->addAction(aboutText, this, [this] { OnSysCommand(IDM_ABOUT_BOX, 0); });
    }
    setWindowIcon(appIcon);
}

void CUpgradeDlg::OnSysCommand(std::uint32_t commandId, std::uint32_t) {
    if ((commandId & kCommandMask) == IDM_ABOUT_BOX) {
        CAboutBoxDlg about(this);
        about.DoModal();
        return;
    }
    if ((commandId & kCommandMask) == SC_CLOSE) close();
}

void CUpgradeDlg::contextMenuEvent(QContextMenuEvent* e) {
    // A right-click on the window's free area, not on a control.
    if (childAt(e->pos()) == nullptr && systemMenu_) {
        systemMenu_->popup(mapToGlobal(QPoint(0, 0)));
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
    painter.fillRect(rect(), palette().window());
    const IconPosition at = CenteredIconPosition(width(), height(), kSystemIconSize, kSystemIconSize);
    appIcon.paint(&painter, at.x, at.y, kSystemIconSize, kSystemIconSize);
}
