#include "tests/support/LineRecorder.h"

#include <poll.h>
#include <unistd.h>

#include "serial/posix/Termios2.h"

LineRecorder::LineRecorder(int masterFd) : master_(masterFd), thread_([this] { Run(); }) {}

LineRecorder::~LineRecorder() {
    stop_ = true;
    thread_.join();
}

void LineRecorder::Run() {
    while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        const int r = poll(&p, 1, 5);
        if (r <= 0 || !(p.revents & POLLIN)) {
            // While the tool has its side closed the master reports a hang-up: wait it out.
            if (r > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        std::uint8_t buffer[4096];
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        const std::uint32_t baud = termios2_io::ReadBaudRate(master_).value_or(0);
        std::lock_guard lock(mutex_);
        chunks_.push_back({std::vector<std::uint8_t>(buffer, buffer + n), baud});
        size_ += static_cast<std::size_t>(n);
    }
}

std::vector<RecordedChunk> LineRecorder::Chunks() const {
    std::lock_guard lock(mutex_);
    return chunks_;
}

std::vector<std::uint8_t> LineRecorder::Bytes() const {
    std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> all;
    for (const auto& chunk : chunks_) all.insert(all.end(), chunk.bytes.begin(), chunk.bytes.end());
    return all;
}

std::size_t LineRecorder::Size() const {
    std::lock_guard lock(mutex_);
    return size_;
}

bool LineRecorder::WaitForBytes(std::size_t count, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Size() < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
