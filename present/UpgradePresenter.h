// The main window's behaviour, without a toolkit: which control is enabled when, its captions,
// which notice answers which event, the progress and the counts, what choosing a file does. It
// owns the transfer engine, turns the operator's actions into calls on it and its reports into
// screen states and notices for the view.
//
// Thread rules: every member runs on the window's thread. The engine rings the view's Wake from
// its threads; the view then calls Pump, and again after the delay given to WakeAfter.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "present/OperatorView.h"
#include "serial/PortList.h"
#include "upgrade/UpgradeEngine.h"

class UpgradePresenter final : private EngineObserver {
  public:
    // What the presenter is given from outside: empty for the real thing.
    struct Services {
        LineOpener openLine;           // how port names become lines
        EngineClock* clock = nullptr;  // the engine's pauses and timers
    };

    UpgradePresenter(OperatorView& view, Services services);
    ~UpgradePresenter() override;
    UpgradePresenter(const UpgradePresenter&) = delete;
    UpgradePresenter& operator=(const UpgradePresenter&) = delete;

    // The port box's entries: COM1 to COM50, then the other ports this machine has (USB
    // adapters by their /dev/serial/by-id names where they have one; on Windows the COM ports
    // above COM50).
    static std::vector<std::string> PortChoices();
    // The same, from a list of the machine's ports.
    static std::vector<std::string> PortChoices(const std::vector<PortEntry>& found);

    // The state the window shows now.
    const ScreenState& Screen() const { return screen_; }
    UpgradeEngine& Engine() { return engine_; }

    // Initialisation: the buttons' first states, the line at 115200, and COM1 (the port the
    // view names) opened.
    void OnInitDialog();

    // The operator's actions
    void OnOpenPortButton();
    void OnPortListChange();
    void OnConnect();
    void OnStartUpgrade();
    // Chooses the firmware file, then asks for the device and acts on it.
    void OnSelectFile();
    // The device dialog's choice: the head is switched to its loader (the window is busy for
    // the pauses).
    void OnDeviceSelected(const DeviceSelection& device);
    // Reopens the port with the current settings (after a change of speed).
    void OnReopenPort();
    // One chunk of the head's answers, acted on at once (chunks from the port come through
    // the engine's inbox by themselves).
    void OnSerialData(std::span<const std::uint8_t> chunk);
    // The send path (see UpgradeEngine::SendHexText). Any thread.
    bool SendHexText(std::string_view text) { return engine_.SendHexText(text); }

    // What the engine's threads handed over and the timers that are due; the view calls it
    // when woken.
    void Pump();
    // Ends the engine's threads and closes the port (before the window goes).
    void Stop() { engine_.StopAll(); }

  private:
    // After each entry: the state shown, the next wake-up asked for.
    void Settle();
    // Shows the state if it changed since it was shown last.
    void Flush();
    // Tells the operator, with the state shown first.
    void Tell(const Notice& notice);
    void SetProgressRange(std::int32_t firmwareSize);
    void SetProgressPosition(std::int32_t position);

    // The settings of the next opening: the line's, on the port the view names now.
    SerialSettings ReadPortSettings();

    // The engine's reports
    void OnPortStateChanged(bool open) override;
    void OnPortReopened(bool open) override;
    // Told as its row in FailureNotices says.
    void OnFailure(TransferFailure failure) override;
    void OnConnected() override;
    void OnBlockAccepted(std::int32_t position) override;
    void OnChecksumError() override;
    void OnUpgradeDone(std::int32_t position) override;
    void OnSentCountChanged(std::int32_t count) override;

    OperatorView& view_;
    EngineClock& clock_;
    ScreenState screen_;
    std::optional<ScreenState> shown_;  // the state the view shows, none before the first
    bool timerAsked_ = false;           // the view was last asked for a delayed wake, not told none
    UpgradeEngine engine_;  // last: destroyed first, its threads end before the rest goes
};
