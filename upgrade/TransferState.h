// The state of the port and of a transfer, owned by the transfer engine; zero at the start.
//
// The firmware file and the position in it are the engine's FirmwareCursor.
//
// Thread rules: the engine's caller (the front end's thread) owns the port fields (it alone
// writes them; the sender and the receive loop read them). bytesSent and senderAwake are
// written by the sender too. Only the engine writes any of it; others read it through
// UpgradeEngine::State.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "serial/CSerialPort.h"

class SenderThread;

struct TransferState {
    // Port (owned by port control)
    std::atomic<bool> portOpen{false};
    std::atomic<PortHandle> portHandle;
    std::unique_ptr<CSerialPort> serialPort;

    // Sender (bytesSent and senderAwake are written by the sender and read by the front end)
    std::atomic<std::int32_t> bytesSent{0};  // bytes handed to the port by any sender; never reset
    std::atomic<int> senderAwake{0};         // 1 while a sender has a frame to send, 0 when parked
    std::unique_ptr<SenderThread> senderThread;  // the sender started last
};
