// The tool's own window messages and the event that carries them on the Qt event queue.
#pragma once

#include <QEvent>
#include <cstdint>
#include <memory>
#include <vector>

using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

inline constexpr unsigned WM_USER = 1024;
// Posted by the receive loop, one per chunk of received bytes. wParam: the chunk's bytes, a
// copy owned by the message; lParam: their number, 1 to 4096.
inline constexpr unsigned WM_SERIAL_DATA = WM_USER + 1001;
// Reopens the port with the window's settings; also called directly. Parameters unused.
inline constexpr unsigned WM_REOPEN_PORT = WM_USER + 1003;
// Sent synchronously by the device dialog. wParam: address of a DeviceSelection; lParam: 3.
inline constexpr unsigned WM_DEVICE_SELECTED = WM_USER + 1004;

// A window message on the Qt event queue. A message that carries bytes owns them: they are
// released with the event, after its handler has run, or when it is never delivered.
class WindowMessageEvent : public QEvent {
public:
    static const QEvent::Type kType;

    WindowMessageEvent(unsigned message, WPARAM wParam, LPARAM lParam)
        : QEvent(kType), message_(message), wParam_(wParam), lParam_(lParam) {}
    // For WM_SERIAL_DATA: takes the chunk; wParam becomes its address, lParam its length.
    WindowMessageEvent(unsigned message, std::vector<std::uint8_t> chunk);

    unsigned message() const { return message_; }
    WPARAM wParam() const { return wParam_; }
    LPARAM lParam() const { return lParam_; }

private:
    unsigned message_;
    std::vector<std::uint8_t> chunk_;
    WPARAM wParam_;
    LPARAM lParam_;
};
