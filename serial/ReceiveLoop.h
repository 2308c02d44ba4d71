// The receive loop: a worker thread that waits for bytes on one open port and hands every
// chunk of them (1 to 4096 bytes, in order) to a sink.
//
// A loop is bound to the handle it was started for: it ends once that handle is closed (or
// the device goes away) and never touches a port opened later.
//
// Thread rules: construct, Start and destroy on one thread (the owner's). The sink and the
// end notice run on the loop's own thread. The destructor waits for the thread, so close the
// handle first (closing wakes the loop's wait).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "serial/CSerialPort.h"

// Receives each chunk, which it then owns.
using ChunkSink = std::function<void(std::vector<std::uint8_t> chunk)>;

class ReceiveLoop {
  public:
    // onEnded, if set, is told the loop's exit code when it ends (see ReceiveThreadProc).
    ReceiveLoop(CSerialPort& port, PortHandle handle, ChunkSink sink,
                std::function<void(int)> onEnded = {});
    ~ReceiveLoop();
    ReceiveLoop(const ReceiveLoop&) = delete;
    ReceiveLoop& operator=(const ReceiveLoop&) = delete;

    // Starts the thread. False when it cannot be created.
    bool Start();
    // True once the thread has ended; its exit code then reads 0 (normal end) or -1 (failure).
    bool Finished() const { return finished_.load(); }
    int ExitCode() const { return exitCode_.load(); }

    // Loops whose threads are running in the whole process, for tests.
    static int RunningCount();

  private:
    CSerialPort& port_;
    PortHandle handle_;
    ChunkSink sink_;
    std::function<void(int)> onEnded_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
    std::atomic<int> exitCode_{0};
};

// Body of the receive loop. Returns 0 after a normal end (the port was closed), -1 after a
// failure (a read that gave nothing, a failed wait, the device gone).
int ReceiveThreadProc(CSerialPort& port, const PortHandle& handle, const ChunkSink& sink);
