// Bringing the head to its loader: the start-upgrade command at the head's own line speed,
// then back to 115200; and the greeting.
#include "upgrade/UpgradeEngine.h"

void UpgradeEngine::Greet() {
    // The loader's answer is awaited only when the greeting went out.
    if (state_.portOpen && SendHexText(GreetingHexText())) AwaitAnswer(clock_.Now());
}

void UpgradeEngine::SelectDevice(const DeviceSelection& device) {
    const std::string command =
        FormatCommandHexText(BuildStartUpgradeFrame(device.address, device.protocolIndex));
    if (const auto speed = DeviceSpeedForIndex(device.speedIndex)) lineSettings_.baudRate = *speed;
    Pause(kCommandPause);
    ReopenPort();
    // With the port closed (or its reopening failed) the write reaches no line.
    SendHexText(command);
    Pause(kCommandPause);
    lineSettings_.baudRate = UPGRADE_BAUD_RATE;
    ReopenPort();
}
