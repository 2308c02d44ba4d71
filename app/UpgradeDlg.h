// The main window: every control the operator uses, the line settings the port is opened
// with, and every handler of the tool. The handlers live in the files of their subsystem:
//   app/UpgradeDlg.cpp          construction, initialisation, routing, message boxes
//   serial/PortControl.cpp      opening, closing and reopening the port; the receive loop
//   serial/SendHexText.cpp      the one send path
//   upgrade/Handshake.cpp       start-upgrade command and greeting
//   upgrade/SenderControl.cpp   starting the sender and showing its count
//   upgrade/ResponseHandling.cpp  the head's answers
//   app/FileSelection.cpp       choosing the firmware file
//   app/WindowChrome.cpp        system menu, about box, icons
//
// Thread rules: everything runs on the user-interface thread, except SendHexText,
// ShowSentCount and the two Report...FromSender calls, which the sender makes on its own.
#pragma once

#include <QIcon>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/MessageBox.h"
#include "app/TemplateDialog.h"
#include "app/UiCallGate.h"
#include "app/WindowMessages.h"

class QComboBox;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class ReceiveLoop;
class SenderThread;

class CUpgradeDlg : public TemplateDialog {
    Q_OBJECT
  public:
    explicit CUpgradeDlg(QWidget* parent = nullptr);
    ~CUpgradeDlg() override;

    // Initialises the window, then runs it modally until it closes.
    int DoModal();
    // Fills the port list, creates the port object and opens the first port. Returns true.
    bool OnInitDialog();

    // Delivers one of the tool's window messages now, on the calling (user-interface) thread.
    LRESULT SendMessage(unsigned message, WPARAM wParam, LPARAM lParam);

    // Port control and receive loop
    void OnOpenPortButton();
    void OnPortListChange();
    LRESULT OnReopenPort(WPARAM wParam, LPARAM lParam);
    void OpenPort();
    void ReadPortSettings();
    void StartReceiveThread();
    const ReceiveLoop* CurrentReceiveLoop() const { return receiveLoop_.get(); }

    // Send path: decodes the hex text and writes its bytes in one write. Any thread. False
    // when decoded bytes did not all go out (the port is closed or failed); a text that
    // decodes to nothing writes nothing and is no failure.
    bool SendHexText(std::string text);

    // Handshake
    void OnConnect();
    LRESULT OnDeviceSelected(WPARAM wParam, LPARAM lParam);

    // Sender
    void OnStartUpgrade();
    void StartSender();
    // Puts the text into the bytes-sent count (the label shows the newest count within
    // kSentCountRefreshMs). From the sender it waits until the user-interface thread has
    // taken it; false when the window is closing.
    bool ShowSentCount(std::string text);
    // The sender found the file shorter than it should be: tell the operator, stop.
    void ReportUnreadableFileFromSender();
    // The sender could not hand a byte to the port: tell the operator, stop.
    void ReportWriteFailureFromSender();

    // The head's answers
    LRESULT OnSerialData(WPARAM wParam, LPARAM lParam);

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

    // The fixed pauses that order the steps of talking to the head. The window does not
    // respond while one lasts. Tests replace how a pause passes.
    using PauseFunction = std::function<void(std::chrono::milliseconds)>;
    void SetPauseFunction(PauseFunction pause) { pause_ = std::move(pause); }
    void Pause(std::chrono::milliseconds duration);

    // Every message box of the main window goes through here.
    void MessageBox(const QString& text, const QString& caption = {},
                    MessageIcon icon = MessageIcon::None);

    // Controls, bound by DoDataExchange
    QPushButton* connectButton = nullptr;
    QPushButton* selectFileButton = nullptr;
    QPushButton* startUpgradeButton = nullptr;
    QComboBox* portList = nullptr;
    QLineEdit* filePathEdit = nullptr;
    QProgressBar* progressBar = nullptr;
    QIcon appIcon;

    QString filePath;            // full path of the firmware file chosen last
    std::string portName;        // port to open: "COMn" or a device path
    std::uint32_t baudRate = 0;  // line speed for the next opening
    std::uint8_t byteSize = 0;
    std::uint8_t parity = 0;
    std::uint8_t stopBits = 0;
    std::uint8_t lastResponse = 0;  // the answer code handled last

  protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    void DoDataExchange();
    void SetUpSystemMenu();
    void OnPaint();
    void ClosePortAndLoop();
    void StopAllWorkers();
    // RSP_* handling steps
    void OnBlockAccepted();
    void OnChecksumError();
    void OnUpgradeDone();

    // The bytes-sent count changes thousands of times a second while a frame goes out; the
    // label takes the newest one at this pace, faster than an eye can follow.
    static constexpr int kSentCountRefreshMs = 20;
    QTimer sentCountRefresh_;
    QString pendingSentCount_;

    std::unique_ptr<ReceiveLoop> receiveLoop_;
    std::vector<std::unique_ptr<SenderThread>> retiredSenders_;  // ended when the window closes
    UiCallGate uiCalls_;
    FileChooser fileChooser_;
    PauseFunction pause_;
    QMenu* systemMenu_ = nullptr;
};
