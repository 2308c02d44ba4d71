// The state of the port and of a transfer, owned by the transfer engine; zero at the start.
//
// Thread rules: the engine's caller (the front end's thread) owns the port fields (it alone
// writes them; the sender and the receive loop read them). The file fields are shared by that
// thread and the sender: fileMutex guards them, held only for short steps (building a frame,
// stepping the offset, positioning the file), never while waiting for the other thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>

#include "serial/CSerialPort.h"
#include "upgrade/FirmwareFrame.h"

class SenderThread;

// An open firmware file. Shared so that a stream given up by the front end's thread is
// closed only once the sender, which may still be reading it, has let go of it too.
using FirmwareStream = std::shared_ptr<std::FILE>;

// What opening a firmware image found.
enum class FirmwareCheck {
    Opened,      // a regular file of 1 byte to 2 GiB - 1 byte, open for reading
    Empty,       // a regular file without a byte
    Unreadable,  // missing, not permitted, not a regular file (a folder, a FIFO, a device), or 2
                 // GiB or more
};
// Opens path for reading without ever waiting (a FIFO or a device does not hold the caller),
// and only when it is a regular file with at least one byte and less than 2 GiB. size: the
// file's size in bytes when opened.
FirmwareStream OpenFirmwareStream(const char* path, FirmwareCheck& check, std::int32_t& size);

struct TransferState {
    // Port (owned by port control)
    std::atomic<bool> portOpen{false};
    std::atomic<PortHandle> portHandle;
    std::unique_ptr<CSerialPort> serialPort;

    // Firmware file and the frame built last (guarded by fileMutex)
    std::mutex fileMutex;
    FirmwareStream firmwareFile;
    std::int32_t firmwareSize = 0;     // bytes; below 2 GiB
    std::int32_t fileOffset = 0;       // file offset of the next block to read
    std::int32_t lastBlockLength = 0;  // file bytes in the frame built last, 0 to 4096
    std::int32_t lastBlockOffset = 0;  // file offset of the block in the frame built last
    bool lastFrameFinal = false;       // the frame built last carried the last-block flag
    FirmwareFrame frameBuffer{};
    std::uint32_t frameChecksum = 0;  // full 32-bit sum of the frame built last

    // Sender (bytesSent and senderAwake are written by the sender and read by the front end)
    std::atomic<std::int32_t> bytesSent{0};  // bytes handed to the port by any sender; never reset
    std::atomic<int> senderAwake{0};         // 1 while a sender has a frame to send, 0 when parked
    std::unique_ptr<SenderThread> senderThread;  // the sender started last
};
