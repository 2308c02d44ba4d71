// The main window on Win32: a view of the presenter (present/UpgradePresenter.h), which decides
// what every control shows and what every action does. The window is a dialog built in memory
// from the main template; it draws the presenter's screen state, shows its notices in message
// boxes, asks for the file and the device in Windows' dialogs, and hands each control to the
// presenter. Its own are the window chrome: the system menu's about box and the icons.
//
// Thread rules: every member runs on the window's thread but Wake, which the engine's threads
// call and which only posts a message; its handler calls the presenter's Pump.
#pragma once

#include <windows.h>

#include <string>

#include "present/UpgradePresenter.h"

class UpgradeWindow final : private OperatorView {
  public:
    UpgradeWindow(HINSTANCE instance, UpgradePresenter::Services services = {});
    ~UpgradeWindow() override;
    UpgradeWindow(const UpgradeWindow&) = delete;
    UpgradeWindow& operator=(const UpgradeWindow&) = delete;

    // Makes and shows the window, then opens the first port. False when it could not be made.
    bool Create();
    // Runs the window's messages until it is closed; the exit code.
    int Run();
    HWND Handle() const { return window_; }

  private:
    static INT_PTR CALLBACK Procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnInitDialog();
    void OnCommand(int id, int notification);
    // Enter typed into the port box opens that port rather than closing the window.
    bool TakesEnterInPortBox(const MSG& message);
    HWND Control(int id) const { return GetDlgItem(window_, id); }
    void SetText(int id, const std::string& utf8);

    // The view
    void Show(const ScreenState& state) override;
    void Tell(const Notice& notice) override;
    std::string ChosenPort() override;
    std::optional<std::string> AskFirmwareFile() override;
    std::optional<DeviceSelection> AskDevice() override;
    void SetBusy(bool busy) override;
    void Wake() override;
    void WakeAfter(std::optional<std::chrono::milliseconds> delay) override;

    HINSTANCE instance_;
    HWND window_ = nullptr;
    bool busy_ = false;
    std::string shownPath_;       // the file path the presenter showed last
    UpgradePresenter presenter_;  // declared last, destroyed first: its threads end before the rest
};
