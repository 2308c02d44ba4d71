#include "app/UpgradeDlg.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include "app/AppIcon.h"
#include "res/resource.h"

CUpgradeDlg::CUpgradeDlg(QWidget* parent, WindowServices services)
    : TemplateDialog(kUpgradeMainTemplate, parent),
      appIcon(LoadAppIcon()),
      services_(std::move(services)),
      engine_(*this, {services_.openLine, services_.clock}) {
    DoDataExchange();
    // Screen readers name each box by the label beside it.
    for (auto [label, control] :
         {std::pair{IDC_PORT_LABEL, IDC_PORT_LIST}, std::pair{IDC_PROGRESS_LABEL, IDC_PROGRESS}}) {
        ControlAs<QLabel>(label)->setBuddy(Control(control));
    }
    // Each count is read out as the number it shows (a label's own text is its accessible
    // name); the caption beside it labels it.
    for (auto [caption, count] : {std::pair{"IDC_TOTAL_COUNT_LABEL", IDC_TOTAL_COUNT},
                                  std::pair{"IDC_SENT_COUNT_LABEL", IDC_SENT_COUNT}}) {
        findChild<QLabel*>(QLatin1String(caption))->setBuddy(Control(count));
    }
    // The count changes after every byte sent: it takes the newest count at most every
    // kSentCountRefreshMs, and a label that fills its own background repaints alone, not the
    // window behind it.
    Control(IDC_SENT_COUNT)->setAutoFillBackground(true);
    sentCountRefresh_.setSingleShot(true);
    sentCountRefresh_.setInterval(kSentCountRefreshMs);
    connect(&sentCountRefresh_, &QTimer::timeout, this, [this] { RefreshSentCount(); });
    answerWaitCheck_.setInterval(kAnswerWaitCheckMs);
    connect(&answerWaitCheck_, &QTimer::timeout, this, [this] { engine_.CheckAnswerWait(); });
    answerWaitCheck_.start();
    // Received chunks come to this thread as WM_SERIAL_DATA, each owned by its message.
    engine_.SetChunkSink([this](std::vector<std::uint8_t> chunk) {
        QCoreApplication::postEvent(this, new WindowMessageEvent(WM_SERIAL_DATA, std::move(chunk)));
    });

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

CUpgradeDlg::~CUpgradeDlg() {
    engine_.StopAll();
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
    progressBar->hide();
    engine_.EndTransfer();
    engine_.ForgetFirmware();
    for (int n = 1; n <= 50; ++n) portList->insertItem(n - 1, QStringLiteral("COM%1").arg(n));
    portList->setCurrentIndex(0);

    engine_.LineSettings().baudRate = UPGRADE_BAUD_RATE;
    selectFileButton->setEnabled(false);
    startUpgradeButton->setEnabled(false);
    connectButton->setEnabled(false);
    OpenPort();
    filePathEdit->setFocus();
    return true;
}

bool CUpgradeDlg::event(QEvent* e) {
    if (e->type() == WindowMessageEvent::kType) {
        const auto* message = static_cast<WindowMessageEvent*>(e);
        if (message->message() == WM_SERIAL_DATA) OnSerialData(message->Chunk());
        return true;
    }
    return TemplateDialog::event(e);
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
