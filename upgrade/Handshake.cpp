// Bringing the head to its loader: the start-upgrade command at the head's own line speed,
// then back to 115200; and the greeting.
#include "app/BusyScope.h"
#include "app/UpgradeDlg.h"
#include "upgrade/PelcoCommand.h"

namespace {
// Pause before and after the command, giving the head time around the change of speed.
constexpr std::chrono::milliseconds kCommandPause{500};
}  // namespace

void CUpgradeDlg::OnConnect() {
    SendHexText(GreetingHexText());
}

LRESULT CUpgradeDlg::OnDeviceSelected(WPARAM wParam, LPARAM) {
    const auto* selection = reinterpret_cast<const DeviceSelection*>(wParam);
    const DeviceSelection device = *selection;  // the record lives only during this call
    const std::string command =
        FormatCommandHexText(BuildStartUpgradeFrame(device.address, device.protocolIndex));
    if (const auto speed = DeviceSpeedForIndex(device.speedIndex)) baudRate = *speed;
    const BusyScope busy;  // the window is frozen for the four pauses that follow
    Pause(kCommandPause);
    OnReopenPort(0, 0);
    // With the port closed (or its reopening failed) the write reaches no line.
    SendHexText(command);
    Pause(kCommandPause);
    baudRate = UPGRADE_BAUD_RATE;
    OnReopenPort(0, 0);
    return 0;
}
