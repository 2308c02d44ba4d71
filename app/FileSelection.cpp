// Choosing the firmware image: open it, show what the transfer will send, prepare the
// progress bar, then ask for the device.
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <limits>

#include "app/DeviceSelectDlg.h"
#include "app/UpgradeDlg.h"
#include "res/resource.h"
#include "upgrade/FirmwareFrame.h"
#include "upgrade/TransferState.h"

namespace {

QString ChooseWithFileDialog(QWidget* owner) {
    QFileDialog dialog(owner);
    dialog.setFileMode(QFileDialog::ExistingFile);  // the file and its folder must exist
    dialog.setNameFilter(QStringLiteral("Bin File (*.bin)"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().front();
}

// Size of an open stream, or -1 when it cannot be told or does not fit 32 signed bits.
std::int64_t StreamSize(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) return -1;
    const long size = std::ftell(file);
    if (size < 0 || size > std::numeric_limits<std::int32_t>::max()) return -1;
    return size;
}

}  // namespace

void CUpgradeDlg::SetProgressRange(std::int32_t firmwareSize) {
    // A range of 0 .. 0 would make the bar a busy indicator: an empty file gets 0 .. 1.
    progressBar->setRange(0, std::max<std::int32_t>(firmwareSize, 1));
}

void CUpgradeDlg::SetProgressPosition(std::int32_t position) {
    // The whole file accepted fills the bar, also for an empty file (whose range is 0 .. 1).
    const bool whole = position >= transferState.firmwareSize;
    progressBar->setValue(whole ? progressBar->maximum() : std::clamp(position, 0, progressBar->maximum()));
}

void CUpgradeDlg::OnSelectFile() {
    progressBar->setValue(0);
    {
        std::lock_guard lock(transferState.fileMutex);
        transferState.fileOffset = 0;
    }
    const QString chosen = fileChooser_ ? fileChooser_(this) : ChooseWithFileDialog(this);
    if (chosen.isEmpty()) return;

    filePath = chosen;
    filePathEdit->setText(filePath);
    progressBar->show();

    FirmwareStream stream = OpenFirmwareStream(QFile::encodeName(filePath).constData());
    // Images of 2 GiB or more do not fit the sizes and counts the transfer works with.
    const std::int64_t size = stream ? StreamSize(stream.get()) : -1;
    if (size < 0 || std::fseek(stream.get(), 0, SEEK_SET) != 0) {
        {
            std::lock_guard lock(transferState.fileMutex);
            transferState.firmwareFile.reset();
        }
        MessageBox(QStringLiteral("文件不可读!"));
        return;
    }
    {
        std::lock_guard lock(transferState.fileMutex);
        transferState.firmwareFile = std::move(stream);  // any earlier stream is given up
        transferState.firmwareSize = static_cast<std::int32_t>(size);
    }
    ControlAs<QLabel>(IDC_TOTAL_COUNT)->setText(QString::number(TotalBytesToSend(static_cast<std::int32_t>(size))));
    SetProgressRange(static_cast<std::int32_t>(size));

    CDeviceSelectDlg deviceDialog(this);
    deviceDialog.DoModal();
}
