// The main window's side of a transfer: the handshake, the sender, the head's answers and the
// count of bytes sent. The engine decides; the window shows.
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "app/BusyScope.h"
#include "app/UpgradeDlg.h"
#include "res/resource.h"

namespace {
const QString kConnectedCaption = QStringLiteral("连接成功");
}

void CUpgradeDlg::OnConnect() {
    engine_.Greet();
}

void CUpgradeDlg::OnDeviceSelected(const DeviceSelection& device) {
    const BusyScope busy;  // the window is frozen for the pauses of the handshake
    engine_.SelectDevice(device);
}

void CUpgradeDlg::OnStartUpgrade() {
    engine_.StartUpgrade();
    startUpgradeButton->setEnabled(false);
}

void CUpgradeDlg::OnSerialData(std::span<const std::uint8_t> chunk) {
    // The count is final before whatever the answer brings is shown.
    RefreshSentCount();
    engine_.OnBytesReceived(chunk);
}

void CUpgradeDlg::OnConnected() {
    startUpgradeButton->setEnabled(true);
    connectButton->setText(kConnectedCaption);
    connectButton->setEnabled(false);
}

void CUpgradeDlg::OnBlockAccepted(std::int32_t position) {
    SetProgressPosition(position);
}

void CUpgradeDlg::OnChecksumError() {
    MessageBox(QStringLiteral("校验错误"));
}

void CUpgradeDlg::OnUpgradeDone(std::int32_t position) {
    SetProgressPosition(position);
    MessageBox(QStringLiteral("更新成功!"));
    startUpgradeButton->setEnabled(false);
    connectButton->setEnabled(false);
}

void CUpgradeDlg::OnHeadFailed() {
    MessageBox(QStringLiteral("更新失败!"));
}

void CUpgradeDlg::OnHeadTimedOut() {
    MessageBox(QStringLiteral("更新超时!"));
}

void CUpgradeDlg::OnDoneTooEarly() {
    startUpgradeButton->setEnabled(false);
    MessageBox(QStringLiteral("更新失败!"));
}

void CUpgradeDlg::OnNoAnswer() {
    MessageBox(QStringLiteral("云台无应答!"));
}

void CUpgradeDlg::RefreshSentCount() {
    const std::int32_t count = engine_.TakeSentCount();
    // Empty until the first byte of the run has gone out.
    if (count == 0 && ControlAs<QLabel>(IDC_SENT_COUNT)->text().isEmpty()) return;
    ControlAs<QLabel>(IDC_SENT_COUNT)->setText(QString::number(count));
}

void CUpgradeDlg::OnSentCountChanged() {
    // Sender's thread. At most one report is outstanding; the label takes the newest count
    // kSentCountRefreshMs later, and the next report comes after that.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!sentCountRefresh_.isActive()) sentCountRefresh_.start();
        },
        Qt::QueuedConnection);
}

void CUpgradeDlg::OnWriteFailed() {
    // Sender's thread: posted, not waited for; the sender ends right after this.
    QMetaObject::invokeMethod(
        this,
        [this] {
            RefreshSentCount();
            MessageBox(QStringLiteral("串口写入失败!"));
        },
        Qt::QueuedConnection);
}

void CUpgradeDlg::OnFileUnreadable() {
    // Sender's thread: posted, not waited for; the sender ends right after this.
    QMetaObject::invokeMethod(
        this,
        [this] {
            startUpgradeButton->setEnabled(false);
            MessageBox(QStringLiteral("文件不可读!"));
        },
        Qt::QueuedConnection);
}
