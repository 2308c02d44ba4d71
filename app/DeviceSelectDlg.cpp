#include "app/DeviceSelectDlg.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "present/DeviceChoice.h"
#include "res/resource.h"

CDeviceSelectDlg::CDeviceSelectDlg(QWidget* parent, MessageBoxPresenter tell)
    : TemplateDialog(kDeviceSelectTemplate, parent),
      tell_(tell ? std::move(tell) : [](const MessageBoxRequest& r) { ShowMessageBox(r); }) {
    DoDataExchange();
    connect(ControlAs<QPushButton>(IDC_START_DEVICE), &QPushButton::clicked, this,
            [this] { OnStartDevice(); });
    Control(IDC_ADDRESS)->setFocus();
}

void CDeviceSelectDlg::DoDataExchange() {
    baudList = ControlAs<QComboBox>(IDC_BAUD);
    protocolList = ControlAs<QComboBox>(IDC_PROTOCOL);
    // Entries go in by position, so the lists keep this order.
    int position = 0;
    for (const char* text : device_choice::kProtocolTexts)
        protocolList->insertItem(position++, QString::fromLatin1(text));
    position = 0;
    for (const char* text : device_choice::kSpeedTexts)
        baudList->insertItem(position++, QString::fromLatin1(text));
    ControlAs<QLineEdit>(IDC_ADDRESS)->setText(QString::fromLatin1(device_choice::kDefaultAddress));
    protocolList->setCurrentIndex(device_choice::kDefaultProtocol);
    baudList->setCurrentIndex(device_choice::kDefaultSpeed);
}

void CDeviceSelectDlg::OnStartDevice() {
    const auto checked =
        device_choice::Check(ControlAs<QLineEdit>(IDC_ADDRESS)->text().toStdString(),
                             ComboSelection(protocolList), ComboSelection(baudList));
    if (const auto* notice = std::get_if<Notice>(&checked)) {
        // The dialog stays open, its fields as they were.
        const MessageBoxRequest request{this, QString::fromStdString(notice->text),
                                        ApplicationName(), MessageIcon::None};
        tell_(request);
        return;
    }
    choice_ = std::get<DeviceSelection>(checked);
    accept();
}
