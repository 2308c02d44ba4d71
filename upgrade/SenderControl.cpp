// Starting the sender and showing what it has sent.
#include <QLabel>
#include <QPushButton>
#include <QThread>

#include "app/UpgradeDlg.h"
#include "res/resource.h"
#include "upgrade/Sender.h"
#include "upgrade/TransferState.h"

void CUpgradeDlg::OnStartUpgrade() {
    bool haveFile;
    {
        std::lock_guard lock(transferState.fileMutex);
        haveFile = transferState.firmwareFile != nullptr;
    }
    if (haveFile) StartSender();
    startUpgradeButton->setEnabled(false);
}

void CUpgradeDlg::StartSender() {
    // The new sender ends the one before it (on its own thread, so a write held by XOFF does
    // not hold the window) before it sends anything.
    auto sender = std::make_unique<SenderThread>(*this, std::move(transferState.senderThread));
    // Set before the thread runs: it clears the flag itself once its frame is out.
    const int wasAwake = transferState.senderAwake.exchange(1);
    if (!sender->Start()) {
        transferState.senderAwake = wasAwake;
        // The earlier sender is no longer referenced but runs on. It is ended with the window:
        // waiting for it here could mean waiting for a count it wants this very thread to show.
        if (auto earlier = sender->ReleaseSuperseded()) retiredSenders_.push_back(std::move(earlier));
        MessageBox(QStringLiteral("线程创建失败!"), {}, MessageIcon::Exclamation);
        return;
    }
    transferState.senderThread = std::move(sender);
}

bool CUpgradeDlg::ShowSentCount(std::string text) {
    auto show = [this, text = std::move(text)] {
        pendingSentCount_ = QString::fromStdString(text);
        if (!sentCountRefresh_.isActive()) sentCountRefresh_.start();
    };
    if (QThread::currentThread() == thread()) {
        show();
        return true;
    }
    return uiCalls_.Call(show);
}

void CUpgradeDlg::ReportWriteFailureFromSender() {
    QMetaObject::invokeMethod(
        this, [this] { MessageBox(QStringLiteral("串口写入失败!")); }, Qt::QueuedConnection);
}

void CUpgradeDlg::ReportUnreadableFileFromSender() {
    // Posted, not waited for: the sender ends right after this.
    QMetaObject::invokeMethod(
        this,
        [this] {
            startUpgradeButton->setEnabled(false);
            MessageBox(QStringLiteral("文件不可读!"));
        },
        Qt::QueuedConnection);
}
