#include "app/UpgradeDlg.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>

#include "app/AboutBoxDlg.h"
#include "app/AppIcon.h"
#include "app/DeviceSelectDlg.h"
#include "present/IconPlacement.h"
#include "res/StringTable.h"
#include "res/resource.h"

namespace {

QString Text(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

QString ChooseWithFileDialog(QWidget* owner) {
    QFileDialog dialog(owner);
    dialog.setFileMode(QFileDialog::ExistingFile);  // the file and its folder must exist
    dialog.setNameFilter(QStringLiteral("Bin File (*.bin)"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().front();
}

}  // namespace

CUpgradeDlg::CUpgradeDlg(QWidget* parent, WindowServices services)
    : TemplateDialog(kUpgradeMainTemplate, parent),
      appIcon(LoadAppIcon()),
      services_(std::move(services)),
      presenter_(*this, {services_.openLine, services_.clock}) {
    DoDataExchange();
    // The count changes while a frame goes out: a label that fills its own background
    // repaints alone, not the window behind it.
    Control(IDC_SENT_COUNT)->setAutoFillBackground(true);
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] { OnTimer(); });

    // The routing table: control notifications to their handlers.
    connect(selectFileButton, &QPushButton::clicked, this, [this] { OnSelectFile(); });
    connect(startUpgradeButton, &QPushButton::clicked, this, [this] { OnStartUpgrade(); });
    connect(ControlAs<QPushButton>(IDC_OPEN_PORT), &QPushButton::clicked, this,
            [this] { OnOpenPortButton(); });
    connect(portList, qOverload<int>(&QComboBox::activated), this, [this] { OnPortListChange(); });
    connect(connectButton, &QPushButton::clicked, this, [this] { OnConnect(); });
    // Keys typed into the port box reach the box first and its edit field through it.
    portList->installEventFilter(this);
    portList->lineEdit()->installEventFilter(this);
}

CUpgradeDlg::~CUpgradeDlg() {
    presenter_.Stop();
}

bool CUpgradeDlg::eventFilter(QObject* watched, QEvent* e) {
    // Enter after typing a device path into the port box opens that port, rather than
    // closing the window under the technician's hands.
    if ((watched == portList || watched == portList->lineEdit()) && e->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(e)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            OnPortListChange();
            return true;
        }
    }
    return TemplateDialog::eventFilter(watched, e);
}

void CUpgradeDlg::DoDataExchange() {
    connectButton = ControlAs<QPushButton>(IDC_CONNECT);
    selectFileButton = ControlAs<QPushButton>(IDC_SELECT_FILE);
    startUpgradeButton = ControlAs<QPushButton>(IDC_START_UPGRADE);
    portList = ControlAs<QComboBox>(IDC_PORT_LIST);
    filePathEdit = ControlAs<QLineEdit>(IDC_FILE_PATH);
    progressBar = ControlAs<QProgressBar>(IDC_PROGRESS);
}

int CUpgradeDlg::DoModal() {
    OnInitDialog();
    return exec();
}

bool CUpgradeDlg::OnInitDialog() {
    SetUpSystemMenu();
    int position = 0;
    for (const std::string& port : UpgradePresenter::PortChoices())
        portList->insertItem(position++, Text(port));
    portList->setCurrentIndex(0);
    // The drop-down shows an adapter's whole /dev/serial/by-id name, however narrow the box.
    QAbstractItemView* list = portList->view();
    list->setMinimumWidth(list->sizeHintForColumn(0) +
                          list->verticalScrollBar()->sizeHint().width());
    presenter_.OnInitDialog();
    filePathEdit->setFocus();
    return true;
}

void CUpgradeDlg::MessageBox(const QString& text, const QString& caption, MessageIcon icon,
                             QWidget* owner) {
    MessageBoxRequest request{owner ? owner : this, text,
                              caption.isEmpty() ? ApplicationName() : caption, icon};
    if (services_.presenter) {
        services_.presenter(request);
    } else {
        ShowMessageBox(request);
    }
}

// --- The view

void CUpgradeDlg::Show(const ScreenState& state) {
    // Qt's setters do nothing for a value a control has already, so everything is set; only
    // the file path waits for a change of its own, since the operator may type into its box.
    ControlAs<QPushButton>(IDC_OPEN_PORT)->setText(Text(state.openPortCaption));
    connectButton->setText(Text(state.connectCaption));
    selectFileButton->setEnabled(state.selectFileEnabled);
    startUpgradeButton->setEnabled(state.startUpgradeEnabled);
    connectButton->setEnabled(state.connectEnabled);
    progressBar->setRange(0, state.progressMaximum);
    progressBar->setValue(state.progressPosition);
    progressBar->setVisible(state.progressVisible);
    ControlAs<QLabel>(IDC_TOTAL_COUNT)->setText(Text(state.totalCount));
    ControlAs<QLabel>(IDC_SENT_COUNT)->setText(Text(state.sentCount));
    if (state.filePath != shownPath_) filePathEdit->setText(Text(state.filePath));
    shownPath_ = state.filePath;
}

void CUpgradeDlg::Tell(const Notice& notice) {
    MessageBox(
        Text(notice.text), Text(notice.caption),
        notice.icon == NoticeIcon::Exclamation ? MessageIcon::Exclamation : MessageIcon::None);
}

std::string CUpgradeDlg::ChosenPort() {
    // Typing into the box's edit field leaves no entry selected: the typed text is the port.
    const int selected = ComboSelection(portList);
    return (selected < 0 ? portList->currentText() : portList->itemText(selected)).toStdString();
}

std::optional<std::string> CUpgradeDlg::AskFirmwareFile() {
    const QString chosen = fileChooser_ ? fileChooser_(this) : ChooseWithFileDialog(this);
    if (chosen.isEmpty()) return std::nullopt;
    return QFile::encodeName(chosen).toStdString();
}

std::optional<DeviceSelection> CUpgradeDlg::AskDevice() {
    CDeviceSelectDlg dialog(this, [this](const MessageBoxRequest& request) {
        MessageBox(request.text, request.caption, request.icon, request.owner);
    });
    if (dialog.DoModal() != QDialog::Accepted) return std::nullopt;
    return dialog.Choice();
}

void CUpgradeDlg::SetBusy(bool busy) {
    busy ? void(busy_.emplace()) : busy_.reset();
}

void CUpgradeDlg::Wake() {
    QMetaObject::invokeMethod(
        this, [this] { presenter_.Pump(); }, Qt::QueuedConnection);
}

void CUpgradeDlg::WakeAfter(std::optional<std::chrono::milliseconds> delay) {
    if (delay) return deadline_.start(*delay);
    deadline_.stop();
}

// --- Window chrome: the window's own system menu (Linux window managers give a program none to
// extend), the about box it opens, the window icons and the drawing of the minimised window.

namespace {
// The system's own commands. Their low four bits are the system's, so commands are compared
// with those bits masked off.
constexpr std::uint32_t SC_MINIMIZE = 0xF020;
constexpr std::uint32_t SC_CLOSE = 0xF060;
constexpr std::uint32_t SC_RESTORE = 0xF120;
constexpr std::uint32_t kCommandMask = 0xFFF0;

// The system menu opens at the window's top-left corner, as a caption's menu would.
void PopUpAtTopLeft(QMenu* menu, QWidget* window) {
    if (menu) menu->popup(window->mapToGlobal(QPoint(0, 0)));
}
}  // namespace

void CUpgradeDlg::SetUpSystemMenu() {
    systemMenu_ = new QMenu(this);
    systemMenu_->setObjectName(QStringLiteral("systemMenu"));
    systemMenu_->setAccessibleName(windowTitle());
    QAction* close = systemMenu_->addAction(QStringLiteral("关闭(&C)"), this,
                                            [this] { OnSysCommand(SC_CLOSE, 0); });
    close->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));  // shown beside it, as usual
    // An empty or missing menu text adds nothing, not even the separator.
    const QString aboutText = services_.strings ? services_.strings(IDS_ABOUT_MENU)
                                                : QString::fromUtf8(LoadString(IDS_ABOUT_MENU));
    if (!aboutText.isEmpty()) {
        systemMenu_->addSeparator();
        systemMenu_->addAction(aboutText, this, [this] { OnSysCommand(IDM_ABOUT_BOX, 0); });
    }
    // Alt+Space opens it wherever the focus is: a shortcut is matched before the focused
    // control sees the key (an edit would take the blank, a button would be pressed).
    auto* openMenu = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    connect(openMenu, &QShortcut::activated, this, [this] { PopUpAtTopLeft(systemMenu_, this); });

    // Big and small window icons: the icon carries its image at both sizes.
    setWindowIcon(appIcon);
}

void CUpgradeDlg::OnSysCommand(std::uint32_t commandId, std::uint32_t) {
    switch (commandId & kCommandMask) {
        case IDM_ABOUT_BOX: {
            CAboutBoxDlg about(this);
            about.DoModal();
            return;
        }
        // The system's own commands, as the window manager would carry them out.
        case SC_CLOSE:
            close();
            return;
        case SC_MINIMIZE:
            showMinimized();
            return;
        case SC_RESTORE:
            showNormal();
            return;
        default:
            return;
    }
}

void CUpgradeDlg::contextMenuEvent(QContextMenuEvent* e) {
    // A right-click on the window's free area: on no control that takes input (controls
    // with menus of their own, the edits, have taken the click already).
    QWidget* control = childAt(e->pos());
    while (control && control->parentWidget() != this) control = control->parentWidget();
    if (!control || control->focusPolicy() == Qt::NoFocus) {
        PopUpAtTopLeft(systemMenu_, this);
        e->accept();
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
    // The background an icon is drawn on, then the icon centred at the system's icon size.
    painter.fillRect(rect(), palette().window());
    const IconPosition at =
        CenteredIconPosition(width(), height(), kSystemIconSize, kSystemIconSize);
    appIcon.paint(&painter, at.x, at.y, kSystemIconSize, kSystemIconSize);
}
