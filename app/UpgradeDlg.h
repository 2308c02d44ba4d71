// The main window: every control the operator uses and every handler of the tool. The window
// reads its controls, calls the transfer engine (upgrade/UpgradeEngine.h), and shows what the
// engine reports. Its handlers live in the files of their subject:
//   app/UpgradeDlg.cpp      construction, initialisation, messages, the engine's reports
//   app/PortControl.cpp     opening, closing and reopening the port
//   app/Transfer.cpp        handshake, sender, the head's answers, the count
//   app/FileSelection.cpp   choosing the firmware file
//   app/WindowChrome.cpp    system menu, about box, icons
//
// Thread rules: every member runs on the user-interface thread. The engine's reports from its
// sender and receive loop arrive on their threads and are handed to this thread at once.
#pragma once

#include <QIcon>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <span>

#include "app/MessageBox.h"
#include "app/TemplateDialog.h"
#include "app/WindowMessages.h"
#include "upgrade/UpgradeEngine.h"

class QComboBox;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;

// What the window is given from outside. Every field may be left empty for the real thing.
struct WindowServices {
    LineOpener openLine;            // how port names become lines (tests use pseudo-terminals)
    EngineClock* clock = nullptr;   // the engine's pauses
    MessageBoxPresenter presenter;  // how message boxes are shown (tests record them)
    std::function<QString(int)> strings;  // the string table
};

class CUpgradeDlg : public TemplateDialog, private EngineObserver {
    Q_OBJECT
  public:
    explicit CUpgradeDlg(QWidget* parent = nullptr, WindowServices services = {});
    ~CUpgradeDlg() override;

    // Initialises the window, then runs it modally until it closes.
    int DoModal();
    // Fills the port list and opens the first port. Returns true.
    bool OnInitDialog();

    UpgradeEngine& Engine() { return engine_; }

    // Port control
    void OnOpenPortButton();
    void OnPortListChange();
    // WM_REOPEN_PORT: reopens the port with the current settings (after a change of speed).
    void OnReopenPort();
    void OpenPort();

    // The send path (see UpgradeEngine::SendHexText).
    bool SendHexText(std::string_view text) { return engine_.SendHexText(text); }

    // Handshake
    void OnConnect();
    // WM_DEVICE_SELECTED, sent by the device dialog.
    void OnDeviceSelected(const DeviceSelection& device);

    // Sender
    void OnStartUpgrade();

    // WM_SERIAL_DATA: one chunk of the head's answers.
    void OnSerialData(std::span<const std::uint8_t> chunk);

    // Choosing the file. The chooser returns the chosen path, or an empty text when the
    // operator cancelled; tests replace it.
    void OnSelectFile();
    // The progress bar shows file bytes: range 0 .. file size, position the bytes accepted.
    void SetProgressRange(std::int32_t firmwareSize);
    void SetProgressPosition(std::int32_t position);
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

    QString filePath;  // full path of the firmware file chosen last

  protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    void DoDataExchange();
    void SetUpSystemMenu();
    void OnPaint();
    // Shows the newest count of bytes sent.
    void RefreshSentCount();

    // The engine's reports
    void ReadPortSettings(SerialSettings& settings) override;
    void OnPortStateChanged(bool open) override;
    void OnPortOpenFailed(PortFailure failure) override;
    void OnPortReopened(bool open) override;
    void OnThreadCreationFailed() override;
    void OnConnected() override;
    void OnBlockAccepted(std::int32_t position) override;
    void OnChecksumError() override;
    void OnUpgradeDone(std::int32_t position) override;
    void OnHeadFailed() override;
    void OnHeadTimedOut() override;
    void OnDoneTooEarly() override;
    void OnNoAnswer() override;
    void OnPortLost() override;
    void OnReceiveLoopEnded(int exitCode) override;
    void OnSentCountChanged() override;
    void OnWriteFailed() override;
    void OnFileUnreadable() override;

    // The bytes-sent count changes thousands of times a second while a frame goes out; the
    // label takes the newest one at this pace, faster than an eye can follow.
    static constexpr int kSentCountRefreshMs = 20;
    QTimer sentCountRefresh_;
    // How often the window looks whether the head owes an answer for too long.
    static constexpr int kAnswerWaitCheckMs = 250;
    QTimer answerWaitCheck_;

    WindowServices services_;
    FileChooser fileChooser_;
    QMenu* systemMenu_ = nullptr;
    UpgradeEngine engine_;  // declared last, destroyed first: its threads end before the rest goes
};
