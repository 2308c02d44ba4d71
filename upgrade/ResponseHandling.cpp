// The head's one-byte answers: each chunk of received bytes counts by its first byte only.
#include <QProgressBar>
#include <QPushButton>

#include "app/UpgradeDlg.h"
#include "upgrade/ResponseCodes.h"
#include "upgrade/Sender.h"
#include "upgrade/TransferState.h"

namespace {

// Pause before the sender is woken for the next block, giving the head time to get ready.
constexpr std::chrono::milliseconds kNextBlockPause{20};

const QString kConnectedCaption = QStringLiteral("连接成功");

// Wakes the parked sender. Only a parked sender is woken; one that is still sending, or
// none at all, is left alone.
bool WakeParkedSender() {
    if (transferState.senderAwake != 0 || !transferState.senderThread) return false;
    transferState.senderAwake = 1;
    transferState.senderThread->Wake();
    return true;
}

}  // namespace

LRESULT CUpgradeDlg::OnSerialData(WPARAM wParam, LPARAM lParam) {
    if (lParam < 1) return 0;
    // Each handling acts on the first byte of its own chunk, also when a message box below
    // lets a newer answer be handled (and lastResponse be overwritten) meanwhile.
    const std::uint8_t code = *reinterpret_cast<const std::uint8_t*>(wParam);
    lastResponse = code;
    if (code == RSP_CONNECTED) {
        startUpgradeButton->setEnabled(true);
        connectButton->setText(kConnectedCaption);
        connectButton->setEnabled(false);
    }
    if (code == RSP_BLOCK_OK) OnBlockAccepted();
    if (IsChecksumError(code)) OnChecksumError();
    if (code == RSP_DONE) OnUpgradeDone();
    if (code == RSP_FAILED) MessageBox(QStringLiteral("更新失败!"));
    if (code == RSP_TIMEOUT) MessageBox(QStringLiteral("更新超时!"));
    return 0;  // the chunk is released with its message
}

void CUpgradeDlg::OnBlockAccepted() {
    {
        std::lock_guard lock(transferState.fileMutex);
        // Without a file there is nothing to position, and no transfer to move on.
        if (!transferState.firmwareFile) return;
        SetProgressPosition(transferState.fileOffset);
        std::fseek(transferState.firmwareFile.get(), transferState.fileOffset, SEEK_SET);
    }
    if (transferState.senderAwake != 0 || !transferState.senderThread) return;
    Pause(kNextBlockPause);
    WakeParkedSender();
}

void CUpgradeDlg::OnChecksumError() {
    MessageBox(QStringLiteral("校验错误"));
    if (transferState.senderAwake != 0 || !transferState.senderThread) return;
    {
        std::lock_guard lock(transferState.fileMutex);
        if (!transferState.firmwareFile) return;
        // Back to the start of the block just sent, so the same frame goes out again.
        transferState.fileOffset -= transferState.lastBlockLength;
        std::fseek(transferState.firmwareFile.get(), transferState.fileOffset, SEEK_SET);
    }
    WakeParkedSender();
}

void CUpgradeDlg::OnUpgradeDone() {
    {
        std::lock_guard lock(transferState.fileMutex);
        SetProgressPosition(transferState.fileOffset);
    }
    MessageBox(QStringLiteral("更新成功!"));
    startUpgradeButton->setEnabled(false);
    connectButton->setEnabled(false);
    std::lock_guard lock(transferState.fileMutex);
    transferState.fileOffset = 0;
    transferState.firmwareFile.reset();  // closed once no sender reads it any more
}
