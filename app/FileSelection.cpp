// Choosing the firmware image: open it, show what the transfer will send, prepare the
// progress bar, then ask for the device.
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>

#include "app/DeviceSelectDlg.h"
#include "app/UpgradeDlg.h"
#include "res/resource.h"
#include "upgrade/FirmwareFrame.h"

namespace {

QString ChooseWithFileDialog(QWidget* owner) {
    QFileDialog dialog(owner);
    dialog.setFileMode(QFileDialog::ExistingFile);  // the file and its folder must exist
    dialog.setNameFilter(QStringLiteral("Bin File (*.bin)"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().front();
}

}  // namespace

void CUpgradeDlg::SetProgressRange(std::int32_t firmwareSize) {
    // A range of 0 .. 0 would make the bar a busy indicator: an empty file gets 0 .. 1.
    progressBar->setRange(0, std::max<std::int32_t>(firmwareSize, 1));
}

void CUpgradeDlg::SetProgressPosition(std::int32_t position) {
    // The whole file accepted fills the bar, also for an empty file (whose range is 0 .. 1).
    const bool whole = position >= engine_.FirmwareSize();
    progressBar->setValue(whole ? progressBar->maximum()
                                : std::clamp(position, 0, progressBar->maximum()));
}

void CUpgradeDlg::OnSelectFile() {
    progressBar->setValue(0);
    // A new choice ends the transfer under way: whatever file comes, it starts at its first block.
    engine_.EndTransfer();
    const QString chosen = fileChooser_ ? fileChooser_(this) : ChooseWithFileDialog(this);
    if (chosen.isEmpty()) return;

    filePath = chosen;
    filePathEdit->setText(filePath);
    progressBar->show();

    std::int32_t size = 0;
    switch (engine_.OpenFirmware(QFile::encodeName(filePath).toStdString(), &size)) {
        case FirmwareCheck::Opened:
            break;
        case FirmwareCheck::Empty:
            MessageBox(QStringLiteral("升级文件为空!"));
            return;
        case FirmwareCheck::Unreadable:
            MessageBox(QStringLiteral("文件不可读!"));
            return;
    }
    ControlAs<QLabel>(IDC_TOTAL_COUNT)->setText(QString::number(TotalBytesToSend(size)));
    SetProgressRange(size);

    CDeviceSelectDlg deviceDialog(this);
    deviceDialog.DoModal();
}
