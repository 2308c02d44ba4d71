// Records what the tool writes on a pseudo-terminal, each chunk with the line speed the tool
// had set when it arrived, on a thread of its own. Survives the tool closing and reopening
// its side in between.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

struct RecordedChunk {
    std::vector<std::uint8_t> bytes;
    std::uint32_t baudRate = 0;
};

class LineRecorder {
public:
    explicit LineRecorder(int masterFd);
    ~LineRecorder();

    std::vector<RecordedChunk> Chunks() const;
    std::vector<std::uint8_t> Bytes() const;
    std::size_t Size() const;
    // Waits until at least count bytes were recorded or the time is up.
    bool WaitForBytes(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    void Run();
    int master_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<RecordedChunk> chunks_;
    std::size_t size_ = 0;
    std::thread thread_;
};
