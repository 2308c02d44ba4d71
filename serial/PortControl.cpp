// The main window's side of the serial port: opening with the window's settings, closing,
// moving to another port, reopening after a change of speed, and starting the receive loop.
#include <QComboBox>
#include <QPushButton>

#include "app/UpgradeDlg.h"
#include "res/resource.h"
#include "serial/ReceiveLoop.h"
#include "upgrade/TransferState.h"

namespace {

constexpr std::uint32_t kReadIntervalTimeoutMs = 600000;  // ten minutes
constexpr std::chrono::milliseconds kReopenPause{500};    // between closing and reopening
const QString kOpenCaption = QStringLiteral("打开串口");
const QString kCloseCaption = QStringLiteral("关闭串口");
const QString kOpenComCaption = QStringLiteral("Open Com");

}  // namespace

void CUpgradeDlg::ReadPortSettings() {
    // Typing into the box's edit field leaves no entry selected: the typed text is the port.
    const int selected = ComboSelection(portList);
    portName = (selected < 0 ? portList->currentText() : portList->itemText(selected))
                   .trimmed()
                   .toStdString();
    byteSize = 8;
    parity = 0;
    stopBits = 0;
}

void CUpgradeDlg::OpenPort() {
    ReadPortSettings();
    CSerialPort& port = *transferState.serialPort;
    port.Configure({portName, baudRate, byteSize, parity, stopBits});

    PortHandle handle = port.Open();
    transferState.portHandle = handle;
    const char* failure = nullptr;
    if (handle == INVALID_PORT_HANDLE) {
        failure = "串口打开错误";
    } else if (!port.SetTimeouts(kReadIntervalTimeoutMs, handle)) {
        failure = "串口超时设置错误";
    } else if (!port.SetLineSettings(handle)) {
        failure = "串口打开错误";
    } else if (!port.InitOverlapped()) {
        port.Close(handle);  // never used again: let the port go
        MessageBox(QStringLiteral("overlapped failed!"));
        return;
    }
    if (failure) {
        // A device opened but refused its settings is released, so nothing stays held.
        if (handle) port.Close(handle);
        MessageBox(QString::fromUtf8(failure), kOpenComCaption, MessageIcon::Exclamation);
        transferState.portOpen = false;
        ControlAs<QPushButton>(IDC_OPEN_PORT)->setText(kOpenCaption);
        selectFileButton->setEnabled(false);
        return;
    }
    transferState.portOpen = true;
    ControlAs<QPushButton>(IDC_OPEN_PORT)->setText(kCloseCaption);
    selectFileButton->setEnabled(true);
    StartReceiveThread();
}

void CUpgradeDlg::StartReceiveThread() {
    // At most one loop: the one of an earlier opening has ended with the closing of its
    // port and is only waited for here.
    receiveLoop_.reset();
    auto loop = std::make_unique<ReceiveLoop>(this, transferState.portHandle.load());
    if (!loop->Start()) {
        MessageBox(QStringLiteral("线程创建失败!"), {}, MessageIcon::Exclamation);
        return;
    }
    receiveLoop_ = std::move(loop);
}

void CUpgradeDlg::ClosePortAndLoop() {
    if (transferState.serialPort) transferState.serialPort->Close(transferState.portHandle.load());
    receiveLoop_.reset();  // its wait has ended with the closing
}

void CUpgradeDlg::OnOpenPortButton() {
    if (transferState.portOpen) {
        ClosePortAndLoop();
        transferState.portOpen = false;
        ControlAs<QPushButton>(IDC_OPEN_PORT)->setText(kOpenCaption);
        selectFileButton->setEnabled(false);
    } else {
        OpenPort();
    }
}

void CUpgradeDlg::OnPortListChange() {
    if (transferState.portOpen) {
        ClosePortAndLoop();
        transferState.portOpen = false;
    }
    OpenPort();
}

LRESULT CUpgradeDlg::OnReopenPort(WPARAM, LPARAM) {
    if (!transferState.portOpen) return 0;
    ClosePortAndLoop();
    Pause(kReopenPause);
    transferState.portOpen = false;
    OpenPort();
    if (transferState.portOpen) {
        connectButton->setEnabled(true);
    } else {
        startUpgradeButton->setEnabled(false);
        connectButton->setEnabled(false);
    }
    return 0;
}
