#include "app/DeviceSelectDlg.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/MessageBox.h"
#include "app/UpgradeDlg.h"
#include "res/resource.h"
#include "upgrade/DeviceAddress.h"
#include "upgrade/PelcoCommand.h"

namespace {
const char* const kProtocolTexts[] = {"PELCO_P", "PELCO_D"};
const char* const kSpeedTexts[] = {"2400",  "4800",   "9600",   "19200",  "38400",
                                   "57600", "115200", "128000", "256000", "921600"};
static_assert(std::size(kSpeedTexts) == DEVICE_SPEED_TABLE.size());

// The position of the selected entry cut to eight bits: no selection gives 255.
std::uint8_t SelectionByte(const QComboBox* list) {
    return static_cast<std::uint8_t>(ComboSelection(list) & 0xFF);
}
}  // namespace

CDeviceSelectDlg::CDeviceSelectDlg(QWidget* parent)
    : TemplateDialog(kDeviceSelectTemplate, parent) {
    DoDataExchange();
    for (auto [label, control] :
         {std::pair{IDC_PROTOCOL_LABEL, IDC_PROTOCOL}, std::pair{IDC_BAUD_LABEL, IDC_BAUD}}) {
        ControlAs<QLabel>(label)->setBuddy(Control(control));
    }
    findChild<QLabel*>(QStringLiteral("IDC_ADDRESS_LABEL"))->setBuddy(Control(IDC_ADDRESS));
    connect(ControlAs<QPushButton>(IDC_START_DEVICE), &QPushButton::clicked, this,
            [this] { OnStartDevice(); });
    Control(IDC_ADDRESS)->setFocus();
}

void CDeviceSelectDlg::DoDataExchange() {
    baudList = ControlAs<QComboBox>(IDC_BAUD);
    protocolList = ControlAs<QComboBox>(IDC_PROTOCOL);
    // Entries go in by position, so the lists keep this order.
    for (int i = 0; i < int(std::size(kProtocolTexts)); ++i)
        protocolList->insertItem(i, kProtocolTexts[i]);
    for (int i = 0; i < int(std::size(kSpeedTexts)); ++i) baudList->insertItem(i, kSpeedTexts[i]);
    ControlAs<QLineEdit>(IDC_ADDRESS)->setText(QStringLiteral("1"));
    protocolList->setCurrentIndex(PROTOCOL_INDEX_PELCO_D);
    baudList->setCurrentIndex(0);
}

void CDeviceSelectDlg::OnStartDevice() {
    auto* owner = qobject_cast<CUpgradeDlg*>(parentWidget());
    const QString text = ControlAs<QLineEdit>(IDC_ADDRESS)->text();
    const auto address = ParseDeviceAddress(text.toStdString());
    if (!address) {
        if (owner) {
            owner->MessageBox(QStringLiteral("输入地址错误!"), {}, MessageIcon::None, this);
        } else {
            ShowMessageBox(this, QStringLiteral("输入地址错误!"));
        }
        return;
    }
    // WM_DEVICE_SELECTED: the main window acts on the choice before this dialog closes.
    if (owner)
        owner->OnDeviceSelected({*address, SelectionByte(protocolList), SelectionByte(baudList)});
    accept();
}
