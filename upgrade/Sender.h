// The sender: a worker thread that sends one firmware frame per wake-up and parks in between.
//
// Hand-off with the engine's caller: it wakes a parked sender (senderAwake 0) with Wake and
// sets senderAwake to 1. The sender clears senderAwake before it hands the frame's last write
// to the port, so an answer to that frame always finds it cleared, and a wake-up that comes
// before the sender has started waiting is kept until it waits: none is lost, and each
// wake-up brings exactly one frame.
//
// A frame goes to the port in writes of at most kFrameWrite bytes (or what the line prefers, see
// SerialLine::PreferredWriteSize): a USB-serial adapter finishes
// each write with a USB transfer of its own (about a millisecond on common adapters), so a
// write per byte would take a frame ten times as long as the wire does. The sender never waits
// for its front end: it counts the bytes of each write once it went out and goes on with the
// next; what it has to report waits in the engine's inbox for the front end's thread.
//
// Thread rules: Start, Wake, RequestStop and the destructor run on the engine caller's thread;
// Run on the sender's own thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "upgrade/EngineClock.h"
#include "upgrade/EngineInbox.h"
#include "upgrade/FirmwareCursor.h"

// Most bytes a frame's write holds on a device line: one full-speed USB packet.
inline constexpr std::size_t kFrameWrite = 64;

// What a sender works with, all of it its engine's.
struct SenderLinks {
    FirmwareCursor& firmware;
    EngineInbox& inbox;
    EngineClock& clock;
    std::atomic<int>& senderAwake;                      // 1 while a sender has a frame to send
    // Which frame is on its way out, counted over every sender of the engine from 1: 2n while
    // frame n is handed to the port, 2n + 1 once its last write has begun.
    std::atomic<std::uint64_t>& frameMark;
    std::function<bool()> portOpen;                     // the port is open now
    std::function<std::size_t(std::string_view)> send;  // the hex-text path: bytes that went out
    std::function<void(std::int32_t)> bytesSent;        // so many more bytes went out: counted
    std::size_t writeSize = kFrameWrite;                // the most bytes one write holds
};

class SenderThread {
  public:
    // superseded: the sender started before this one, if any. The new thread asks it to end
    // and waits for it before sending, so two senders never write at once. serial: the
    // sender's number among those its engine started, from 1.
    SenderThread(SenderLinks links, std::unique_ptr<SenderThread> superseded, std::uint64_t serial);
    // Asks the thread to end and waits for it.
    ~SenderThread();
    SenderThread(const SenderThread&) = delete;
    SenderThread& operator=(const SenderThread&) = delete;

    // Starts the thread. False when it cannot be created.
    bool Start();
    // Lets the parked sender build and send one more frame.
    void Wake();
    // Asks the sender to end once the frame it is sending has gone out whole, or at once while
    // parked: a stop never cuts a frame short (closing the port does, with the write it fails).
    void RequestStop();
    // Waits for the thread to end by itself (its port has closed under it), without asking it
    // to, so that it still reports how it ended.
    void Join();
    bool StopRequested() const;
    // Hands back the superseded sender of a sender that never started.
    std::unique_ptr<SenderThread> ReleaseSuperseded() { return std::move(superseded_); }

    // Whether the thread has ended, for tests.
    bool Finished() const;
    std::uint64_t Serial() const { return serial_; }

    // Body of the thread: sends the frame at the cursor, parks, and does so again on every
    // wake-up until asked to end. Ends at once when the port is closed at the start.
    int Run();

  private:
    // Parks until woken (true) or asked to end (false).
    bool WaitForWake();
    // Ends the superseded sender and waits for it; first thing on the sender's thread.
    void RetireSuperseded();
    // Sends one frame; false when the sender is to end (a failed write, a stop).
    bool SendFrame(const FirmwareFrame& frame);

    SenderLinks links_;
    std::unique_ptr<SenderThread> superseded_;
    const std::uint64_t serial_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable wakeCondition_;
    bool wakePending_ = false;
    bool stopRequested_ = false;
    bool finished_ = false;
};

// The sender's thread function.
inline int SenderThreadProc(SenderThread& self) {
    return self.Run();
}
