// The tool's own window messages, and the event that carries them on the Qt event queue.
#pragma once

#include <QEvent>
#include <cstdint>
#include <span>
#include <vector>

inline constexpr unsigned WM_USER = 1024;
// Posted for the receive loop, one per chunk of received bytes (1 to 4096), which the message
// owns; handled by CUpgradeDlg::OnSerialData.
inline constexpr unsigned WM_SERIAL_DATA = WM_USER + 1001;
// Reopens the port with the window's settings: CUpgradeDlg::OnReopenPort, called directly.
inline constexpr unsigned WM_REOPEN_PORT = WM_USER + 1003;
// The device dialog's choice, delivered at once: CUpgradeDlg::OnDeviceSelected.
inline constexpr unsigned WM_DEVICE_SELECTED = WM_USER + 1004;

// A window message on the Qt event queue. A message that carries bytes owns them: they are
// released with the event, after its handler has run, or when it is never delivered.
class WindowMessageEvent : public QEvent {
  public:
    static const QEvent::Type kType;

    WindowMessageEvent(unsigned message, std::vector<std::uint8_t> chunk = {})
        : QEvent(kType), message_(message), chunk_(std::move(chunk)) {}

    unsigned message() const { return message_; }
    std::span<const std::uint8_t> Chunk() const { return chunk_; }

  private:
    unsigned message_;
    std::vector<std::uint8_t> chunk_;
};
