// The receive loop: a worker thread that waits for bytes on one open port and hands every
// chunk of them to the main window as WM_SERIAL_DATA, a copy owned by the message.
//
// A loop is bound to the handle it was started for: it ends once that handle is closed (or
// the device goes away) and never touches a port opened later.
//
// Thread rules: construct, Start and destroy on the user-interface thread. The destructor
// waits for the thread, so close the handle first (closing wakes the loop's wait).
#pragma once

#include <QPointer>
#include <atomic>
#include <thread>

#include "serial/CSerialPort.h"

class QObject;

class ReceiveLoop {
public:
    ReceiveLoop(QObject* window, PortHandle handle);
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
    QObject* window_;
    PortHandle handle_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
    std::atomic<int> exitCode_{0};
};

// Body of the receive loop. Returns 0 after a normal end (the port was closed), -1 after a
// failure (a read that gave nothing, a failed wait, the device gone).
int ReceiveThreadProc(QObject* window, const PortHandle& handle);
