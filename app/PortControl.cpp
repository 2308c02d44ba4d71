// The main window's side of the serial port: the open/close button, the port list, and the
// reopening after a change of speed. The engine does the work; the window reads the port the
// operator chose and shows the port's state.
#include <QComboBox>
#include <QPushButton>

#include "app/UpgradeDlg.h"
#include "res/resource.h"

namespace {
const QString kOpenCaption = QStringLiteral("打开串口");
const QString kCloseCaption = QStringLiteral("关闭串口");
const QString kOpenComCaption = QStringLiteral("Open Com");
}  // namespace

void CUpgradeDlg::OpenPort() {
    engine_.OpenPort();
}

void CUpgradeDlg::ReadPortSettings(SerialSettings& settings) {
    // Typing into the box's edit field leaves no entry selected: the typed text is the port.
    const int selected = ComboSelection(portList);
    settings.portName = (selected < 0 ? portList->currentText() : portList->itemText(selected))
                            .trimmed()
                            .toStdString();
}

void CUpgradeDlg::OnPortOpenFailed(PortFailure failure) {
    switch (failure) {
        case PortFailure::OpenFailed:
            MessageBox(QStringLiteral("串口打开错误"), kOpenComCaption, MessageIcon::Exclamation);
            break;
        case PortFailure::TimeoutsFailed:
            MessageBox(QStringLiteral("串口超时设置错误"), kOpenComCaption,
                       MessageIcon::Exclamation);
            break;
        case PortFailure::OverlappedFailed:
            MessageBox(QStringLiteral("overlapped failed!"));
            break;
    }
}

void CUpgradeDlg::OnPortStateChanged(bool open) {
    ControlAs<QPushButton>(IDC_OPEN_PORT)->setText(open ? kCloseCaption : kOpenCaption);
    selectFileButton->setEnabled(open);
}

void CUpgradeDlg::OnThreadCreationFailed() {
    MessageBox(QStringLiteral("线程创建失败!"), {}, MessageIcon::Exclamation);
}

void CUpgradeDlg::OnOpenPortButton() {
    if (engine_.PortOpen()) {
        engine_.ClosePort();
    } else {
        OpenPort();
    }
}

void CUpgradeDlg::OnPortListChange() {
    engine_.ChangePort();
}

void CUpgradeDlg::OnReceiveLoopEnded(int) {
    // Receive loop's thread: the engine looks at the line on this window's thread.
    QMetaObject::invokeMethod(
        this, [this] { engine_.CheckLine(); }, Qt::QueuedConnection);
}

void CUpgradeDlg::OnPortLost() {
    MessageBox(QStringLiteral("串口已断开!"));
}

void CUpgradeDlg::OnReopenPort() {
    engine_.ReopenPort();
}

void CUpgradeDlg::OnPortReopened(bool open) {
    if (open) {
        connectButton->setEnabled(true);
    } else {
        startUpgradeButton->setEnabled(false);
        connectButton->setEnabled(false);
    }
}
