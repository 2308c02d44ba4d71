// The device dialog, from the device template: the head's address, protocol and line speed.
// Its lists, defaults and check are the presenter's (present/DeviceChoice.h).
#pragma once

#include <windows.h>

#include <optional>

#include "upgrade/PelcoCommand.h"

class DeviceDialog {
  public:
    // Shows the dialog over owner; the device named, or none when the operator closed it.
    static std::optional<DeviceSelection> Ask(HINSTANCE instance, HWND owner);

  private:
    static INT_PTR CALLBACK Procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    void Fill(HWND dialog);
    void OnStartDevice(HWND dialog);

    std::optional<DeviceSelection> choice_;
};
