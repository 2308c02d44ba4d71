// What a window shows and asks, without a toolkit: the screen state of the main window, the
// notices told in modal boxes, and the view interface each window implements. The presenter
// (present/UpgradePresenter.h) decides; a view only draws and asks.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "upgrade/PelcoCommand.h"

// Every control of the main window whose state the tool changes. Texts are UTF-8.
struct ScreenState {
    std::string openPortCaption = "打开串口";
    std::string connectCaption = "连接云台";
    bool selectFileEnabled = false;
    bool startUpgradeEnabled = false;
    bool connectEnabled = false;
    bool progressVisible = false;
    std::int32_t progressMaximum = 100;  // the bar runs 0 .. progressMaximum
    std::int32_t progressPosition = 0;
    std::string totalCount;  // bytes the transfer will send, empty before a file is chosen
    std::string sentCount;   // bytes sent, empty until the first one has gone out
    std::string filePath;    // the firmware file chosen last

    bool operator==(const ScreenState&) const = default;
};

enum class NoticeIcon { None, Exclamation };

// A modal box with one OK button.
struct Notice {
    Notice(std::string message, std::string title = {}, NoticeIcon symbol = NoticeIcon::None)
        : text(std::move(message)), caption(std::move(title)), icon(symbol) {}

    std::string text;
    std::string caption;  // empty: the application's name
    NoticeIcon icon = NoticeIcon::None;

    bool operator==(const Notice&) const = default;
};

// What a window does for the presenter. Every call but Wake comes on the window's own thread.
class OperatorView {
  public:
    virtual ~OperatorView() = default;

    // Shows the state: only what differs from the state shown before needs drawing.
    virtual void Show(const ScreenState& state) = 0;
    // Tells the operator in a modal box; returns once it is closed. The window keeps serving
    // its events meanwhile (the head's answers among them).
    virtual void Tell(const Notice& notice) = 0;
    // The port the operator names now: the entry chosen in the port box, or the text typed.
    virtual std::string ChosenPort() = 0;
    // Asks for a firmware file (filtered to *.bin); none when the operator cancelled.
    virtual std::optional<std::string> AskFirmwareFile() = 0;
    // Asks for the device in the device dialog; none when the operator closed it.
    virtual std::optional<DeviceSelection> AskDevice() = 0;
    // The busy cursor on or off. Clicks and keys made while busy are dropped when it ends.
    virtual void SetBusy(bool busy) = 0;
    // Any thread: call UpgradePresenter::Pump on the window's thread soon.
    virtual void Wake() = 0;
    // Call UpgradePresenter::Pump after delay (replacing the delay asked for before); none:
    // no call is due.
    virtual void WakeAfter(std::optional<std::chrono::milliseconds> delay) = 0;
};
