// The sender: a worker thread that sends one firmware frame per wake-up and parks in between.
//
// Hand-off with the engine's caller: it wakes a parked sender (senderAwake 0) with Wake and
// sets senderAwake to 1. The sender clears senderAwake before it hands the
// frame's last byte to the port, so an answer to that frame always finds it cleared, and a
// wake-up that comes before the sender has started waiting is kept until it waits: none is
// lost, and each wake-up brings exactly one frame.
//
// The sender never waits for its front end: it counts each byte sent and goes on with the next;
// what it has to report waits in the engine's inbox for the front end's thread.
//
// Thread rules: Start, Wake, RequestStop and the destructor run on the engine caller's thread;
// WaitForWake and StopRequested on the sender's own thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

class UpgradeEngine;

class SenderThread {
  public:
    // superseded: the sender started before this one, if any. The new thread asks it to end
    // and waits for it before sending, so two senders never write at once.
    // serial: the sender's number among those the engine started, from 1.
    SenderThread(UpgradeEngine& engine, std::unique_ptr<SenderThread> superseded,
                 std::uint64_t serial);
    // Asks the thread to end and waits for it.
    ~SenderThread();
    SenderThread(const SenderThread&) = delete;
    SenderThread& operator=(const SenderThread&) = delete;

    // Starts the thread. False when it cannot be created.
    bool Start();
    // Lets the parked sender build and send one more frame.
    void Wake();
    // Asks the sender to end: between two bytes, or while parked.
    void RequestStop();
    // Waits for the thread to end by itself (its port has closed under it), without asking it
    // to, so that it still reports how it ended.
    void Join();

    // Parks until woken (true) or asked to end (false).
    bool WaitForWake();
    bool StopRequested() const;
    // Ends the superseded sender and waits for it; called first thing on the sender's thread.
    void RetireSuperseded();
    // Hands back the superseded sender of a sender that never started.
    std::unique_ptr<SenderThread> ReleaseSuperseded() { return std::move(superseded_); }

    // Exit code of the thread once it has ended (0), for tests.
    bool Finished() const;
    std::uint64_t Serial() const { return serial_; }

  private:
    UpgradeEngine& engine_;
    std::unique_ptr<SenderThread> superseded_;
    const std::uint64_t serial_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable wakeCondition_;
    bool wakePending_ = false;
    bool stopRequested_ = false;
    bool finished_ = false;
    friend int SenderThreadProc(UpgradeEngine& engine, SenderThread& self);
};

// Body of the sender thread: sends the frame at fileOffset, parks, and does so again on
// every wake-up until asked to end. Ends at once when the port is closed at the start.
int SenderThreadProc(UpgradeEngine& engine, SenderThread& self);
