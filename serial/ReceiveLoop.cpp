#include "serial/ReceiveLoop.h"

namespace {
std::atomic<int> runningLoops{0};
}

int ReceiveLoop::RunningCount() {
    return runningLoops.load();
}

ReceiveLoop::ReceiveLoop(CSerialPort& port, PortHandle handle, ChunkSink sink,
                         std::function<void(int)> onEnded)
    : port_(port),
      handle_(std::move(handle)),
      sink_(std::move(sink)),
      onEnded_(std::move(onEnded)) {}

ReceiveLoop::~ReceiveLoop() {
    if (thread_.joinable()) thread_.join();
}

bool ReceiveLoop::Start() {
    try {
        ++runningLoops;
        thread_ = std::thread([this] {
            const int code = ReceiveThreadProc(port_, handle_, sink_);
            exitCode_ = code;
            finished_ = true;
            if (onEnded_) onEnded_(code);
            --runningLoops;
        });
    } catch (const std::system_error&) {
        --runningLoops;
        return false;
    }
    return true;
}

int ReceiveThreadProc(CSerialPort& port, const PortHandle& handle, const ChunkSink& sink) {
    if (!handle) return 0;
    std::uint8_t buffer[CSerialPort::READ_BUFFER_SIZE];
    for (;;) {
        // Clears pending line errors, so the read below is not refused for them.
        handle->TakeLineErrors();
        const int queued = handle->BytesQueued();
        if (queued < 0) return handle->IsClosed() ? 0 : -1;
        if (queued > 0) {
            const std::uint32_t n = port.Read(buffer, handle);
            if (n == 0) return handle->IsClosed() ? 0 : -1;
            if (sink) sink(std::vector<std::uint8_t>(buffer, buffer + n));
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
