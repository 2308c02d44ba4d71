#include "serial/ReceiveLoop.h"

#include <QCoreApplication>
#include <vector>

#include "app/WindowMessages.h"
#include "upgrade/TransferState.h"

namespace {
std::atomic<int> runningLoops{0};
}

int ReceiveLoop::RunningCount() { return runningLoops.load(); }

ReceiveLoop::ReceiveLoop(QObject* window, PortHandle handle) : window_(window), handle_(std::move(handle)) {}

ReceiveLoop::~ReceiveLoop() {
    if (thread_.joinable()) thread_.join();
}

bool ReceiveLoop::Start() {
    try {
        ++runningLoops;
        thread_ = std::thread([this] {
            exitCode_ = ReceiveThreadProc(window_, handle_);
            finished_ = true;
            --runningLoops;
        });
    } catch (const std::system_error&) {
        --runningLoops;
        return false;
    }
    return true;
}

int ReceiveThreadProc(QObject* window, const PortHandle& handle) {
    if (!transferState.portOpen || !handle) return 0;
    CSerialPort& port = *transferState.serialPort;
    std::uint8_t buffer[CSerialPort::READ_BUFFER_SIZE];
    for (;;) {
        // Clears pending line errors, so the read below is not refused for them.
        handle->TakeLineErrors();
        const int queued = handle->BytesQueued();
        if (queued < 0) return transferState.portOpen && !handle->IsClosed() ? -1 : 0;
        if (queued > 0) {
            const std::uint32_t n = port.Read(buffer, handle);
            if (n == 0) return handle->IsClosed() ? 0 : -1;
            QCoreApplication::postEvent(
                window, new WindowMessageEvent(WM_SERIAL_DATA, std::vector<std::uint8_t>(buffer, buffer + n)));
            // More than 4096 bytes waiting: read the rest at once, without waiting.
            continue;
        }
        switch (handle->WaitForInput()) {
            case SerialLine::WaitResult::InputReady:
                break;
            case SerialLine::WaitResult::Closed:
                return 0;
            case SerialLine::WaitResult::HungUp:
            case SerialLine::WaitResult::Failed:
                return -1;
        }
    }
}
