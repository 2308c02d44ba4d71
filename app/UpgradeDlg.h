// The main window: a view of the presenter (present/UpgradePresenter.h), which decides what
// every control shows and what every action does. The window builds its controls from the
// template, draws the presenter's screen state, shows its notices in message boxes, asks for
// the file and the device in native dialogs, and forwards each control to the presenter. Its
// own are the window chrome: the system menu, the about box, the icons.
//
// Thread rules: every member runs on the user-interface thread, except Wake, which the engine's
// threads call and which only queues a call to the presenter's Pump.
#pragma once

#include <QIcon>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "app/BusyScope.h"
#include "app/MessageBox.h"
#include "app/TemplateDialog.h"
#include "present/UpgradePresenter.h"

class QComboBox;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;

// What the window is given from outside. Every field may be left empty for the real thing.
struct WindowServices {
    LineOpener openLine;            // how port names become lines (tests use pseudo-terminals)
    EngineClock* clock = nullptr;   // the engine's pauses and timers
    MessageBoxPresenter presenter;  // how message boxes are shown (tests record them)
    std::function<QString(int)> strings;  // the string table
};

class CUpgradeDlg : public TemplateDialog, private OperatorView {
    Q_OBJECT
  public:
    explicit CUpgradeDlg(QWidget* parent = nullptr, WindowServices services = {});
    ~CUpgradeDlg() override;

    // Initialises the window, then runs it modally until it closes.
    int DoModal();
    // Fills the port list and opens the first port. Returns true.
    bool OnInitDialog();

    UpgradeEngine& Engine() { return presenter_.Engine(); }

    // The controls' handlers, each handed to the presenter.
    void OnOpenPortButton() { presenter_.OnOpenPortButton(); }
    void OnPortListChange() { presenter_.OnPortListChange(); }
    // WM_REOPEN_PORT: reopens the port with the current settings (after a change of speed).
    void OnReopenPort() { presenter_.OnReopenPort(); }
    void OnConnect() { presenter_.OnConnect(); }
    // WM_DEVICE_SELECTED: the device dialog's choice.
    void OnDeviceSelected(const DeviceSelection& device) { presenter_.OnDeviceSelected(device); }
    void OnStartUpgrade() { presenter_.OnStartUpgrade(); }
    void OnSelectFile() { presenter_.OnSelectFile(); }
    // WM_SERIAL_DATA: one chunk of the head's answers.
    void OnSerialData(std::span<const std::uint8_t> chunk) { presenter_.OnSerialData(chunk); }
    // The presenter's timer: the wait for an answer, the refresh of the count (tests whose clock
    // they move on themselves call it when they have).
    void OnTimer() { presenter_.Pump(); }
    // The send path (see UpgradeEngine::SendHexText).
    bool SendHexText(std::string_view text) { return presenter_.SendHexText(text); }

    // The chooser returns the chosen path, or an empty text when the operator cancelled;
    // tests replace it.
    using FileChooser = std::function<QString(QWidget* owner)>;
    void SetFileChooser(FileChooser chooser) { fileChooser_ = std::move(chooser); }

    // Window chrome
    void OnSysCommand(std::uint32_t commandId, std::uint32_t parameter);
    QIcon OnQueryDragIcon() const { return appIcon; }
    QMenu* SystemMenu() const { return systemMenu_; }

    // Every message box of the main window and its dialogs goes through here. owner: the
    // window the box stands over, this one when null.
    void MessageBox(const QString& text, const QString& caption = {},
                    MessageIcon icon = MessageIcon::None, QWidget* owner = nullptr);

    // Controls, bound by DoDataExchange
    QPushButton* connectButton = nullptr;
    QPushButton* selectFileButton = nullptr;
    QPushButton* startUpgradeButton = nullptr;
    QComboBox* portList = nullptr;
    QLineEdit* filePathEdit = nullptr;
    QProgressBar* progressBar = nullptr;
    QIcon appIcon;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    void DoDataExchange();
    void SetUpSystemMenu();
    void OnPaint();

    // The view
    void Show(const ScreenState& state) override;
    void Tell(const Notice& notice) override;
    std::string ChosenPort() override;
    std::optional<std::string> AskFirmwareFile() override;
    std::optional<DeviceSelection> AskDevice() override;
    void SetBusy(bool busy) override;
    void Wake() override;
    void WakeAfter(std::optional<std::chrono::milliseconds> delay) override;

    WindowServices services_;
    FileChooser fileChooser_;
    QMenu* systemMenu_ = nullptr;
    std::string shownPath_;  // the file path the presenter showed last
    std::optional<BusyScope> busy_;
    QTimer deadline_;             // the presenter's next timed Pump
    UpgradePresenter presenter_;  // declared last, destroyed first: its threads end before the rest
};
