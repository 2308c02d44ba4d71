// An in-memory serial line for tests of the transfer engine: no device, no thread, no sleeping.
//
// A MemoryPort stands for the far side of one port and outlives the openings: its Opener()
// hands the engine a new MemoryLine at each opening (refused while a line is still open, as an
// exclusive device would be, or while the test says the device is missing). The port records
// every byte written, in order, with the line speed and the opening it was written on, and
// lets the test answer, hold writes as XOFF would, hang up, and act at an exact byte.
//
// Thread rules: every call may come from any thread. Hooks and the write listener run on the
// writing thread, inside WriteAll, with no lock of the port held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "serial/SerialLine.h"
#include "upgrade/EngineClock.h"

namespace memory_line {

using Bytes = std::vector<std::uint8_t>;

struct WrittenByte {
    std::uint8_t byte = 0;
    std::uint32_t baudRate = 0;  // the speed last applied on the opening it came on
    int opening = 0;             // 1 for the first opening of the port
};

class MemoryLine;

// What the port and its lines share; lines keep it alive.
struct PortShared {
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<WrittenByte> written;
    std::map<std::size_t, std::function<void()>> hooks;  // by index of the byte written
    std::function<void()> writeListener;
    std::weak_ptr<MemoryLine> current;  // the line of the latest opening
    int openings = 0;
    bool refuseOpening = false;
    bool held = false;       // writes wait, as while the peer's XOFF holds the line
    // With a clock, written bytes wait in an output queue and leave it one after another, each
    // byteTime after the one before (see MemoryPort::PaceOutput); without, they leave at once.
    const EngineClock* paceClock = nullptr;
    std::chrono::nanoseconds byteTime{0};
    int writersWaiting = 0;  // writes held at this moment
};

class MemoryLine final : public SerialLine {
  public:
    MemoryLine(std::shared_ptr<PortShared> shared, int opening)
        : shared_(std::move(shared)), opening_(opening) {}

    bool ApplySettings(const SerialSettings& settings) override;
    bool IsUsable() const override;
    bool TakeLineErrors() override { return false; }
    int BytesQueued() const override;
    int OutputQueued() const override;
    long ReadQueued(std::uint8_t* buffer, std::size_t maxBytes) override;
    std::size_t WriteAll(const std::uint8_t* bytes, std::size_t count) override;
    WaitResult WaitForInput() override;
    bool DiscardInput() override;
    bool DiscardOutput() override { return !IsClosed(); }
    void DiscardStaleQueues() override { DiscardInput(); }  // output is never held back
    void Close() override;
    bool IsClosed() const override;

  private:
    friend class MemoryPort;
    std::shared_ptr<PortShared> shared_;
    const int opening_;
    std::mutex writeMutex_;  // one WriteAll at a time
    // Guarded by shared_->mutex:
    std::uint32_t baudRate_ = 0;
    bool closed_ = false;
    bool hungUp_ = false;
    std::deque<Bytes> chunks_;  // each push a chunk of its own
    std::size_t readInFront_ = 0;
    mutable bool chunkEnded_ = false;  // the read that emptied a chunk ends there
    mutable std::deque<EngineClock::TimePoint> leaving_;  // when each queued byte leaves
};

class MemoryPort {
  public:
    MemoryPort() : shared_(std::make_shared<PortShared>()) {}
    ~MemoryPort();
    MemoryPort(const MemoryPort&) = delete;
    MemoryPort& operator=(const MemoryPort&) = delete;

    // For UpgradeEngine::Options::openLine: the port name is not looked at.
    LineOpener Opener();
    // While set, openings fail as for a missing device.
    void RefuseOpening(bool refuse);
    int Openings() const;
    bool LineOpen() const;
    // Speed of the open line, 0 when none is open.
    std::uint32_t CurrentBaudRate() const;

    // Bytes for the engine to read, as one chunk. False when no line is open.
    bool Push(Bytes bytes);
    // From now on, written bytes wait in the line's output queue and leave it at bytesPerSecond
    // by clock's time, as a driver's queue empties onto a real line; OutputQueued tells how
    // many still wait. The clock must outlive the port.
    void PaceOutput(const EngineClock& clock, std::uint32_t bytesPerSecond);
    // Holds every write before its next byte until Release, as a peer's XOFF would.
    void Hold();
    void Release();
    // The far side goes away: waits for input end with HungUp, writes fail.
    void HangUp();

    // Runs hook once, on the writing thread, right after the byte at this index (0 for the
    // first byte ever written on the port) has been recorded and before WriteAll goes on.
    void OnByte(std::size_t index, std::function<void()> hook);
    // Runs after every byte recorded (for waking the test's waits).
    void SetWriteListener(std::function<void()> listener);

    std::vector<WrittenByte> Written() const;
    Bytes WrittenBytes(std::size_t from = 0, std::size_t count = SIZE_MAX) const;
    std::size_t WrittenCount() const;
    int WritersWaiting() const;
    // Bytes waiting in the open line's output queue (see PaceOutput), 0 when none is open.
    int OutputQueued() const;
    bool WaitForWritten(std::size_t count, std::chrono::milliseconds timeout) const;
    bool WaitForWritersWaiting(int count, std::chrono::milliseconds timeout) const;
    // Waits until the open line's reader has taken every byte pushed to it.
    bool WaitForInputRead(std::chrono::milliseconds timeout) const;

  private:
    std::shared_ptr<MemoryLine> CurrentLine() const;
    std::shared_ptr<PortShared> shared_;
};

}  // namespace memory_line
