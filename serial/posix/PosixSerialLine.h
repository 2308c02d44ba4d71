// A serial device on the POSIX terminal calls: a terminal descriptor taken exclusively, and an
// eventfd that Close signals to wake every wait. Thread rules as for every SerialLine.
#pragma once

#include <linux/serial.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "serial/SerialLine.h"
#include "serial/posix/Termios2.h"

class PosixSerialLine final : public SerialLine {
  public:
    // Opens the device read/write, without becoming its controlling terminal, non-blocking,
    // close-on-exec, and takes it exclusively (flock and TIOCEXCL), so a second opening of a
    // held port fails. Refuses anything that is not a terminal. On failure the error carries
    // the errno value that explains it.
    static OpenResult<PosixSerialLine> Open(const std::string& devicePath);

    ~PosixSerialLine() override;
    PosixSerialLine(const PosixSerialLine&) = delete;
    PosixSerialLine& operator=(const PosixSerialLine&) = delete;

    bool ApplySettings(const SerialSettings& settings) override;

    // True while the device still answers terminal requests (it has not been closed).
    bool IsUsable() const override;

    // True when the driver has counted a frame, overrun, parity, break or buffer-overrun error
    // since the last call (or since opening). Drivers without such counters (pseudo-terminals)
    // report none.
    bool TakeLineErrors() override;

    // Bytes waiting in the line discipline's input buffer (at most 4095; bytes still in the
    // driver's receive buffers are not counted until a read or a wait moves them over), or -1
    // when the device cannot be asked.
    int BytesQueued() const override;
    int OutputQueued() const override;

    // Reads at most maxBytes of what is queued, never waiting. Returns the count, 0 when
    // nothing was read, -1 on an error of the device (such as the far side gone).
    long ReadQueued(std::uint8_t* buffer, std::size_t maxBytes) override;

    // Hands all bytes to the driver, looping over partial writes and waiting while the driver
    // takes no more (a peer's XOFF holds it until XON, with no time-out). Returns the number
    // of bytes handed over: fewer than asked only when the line was closed or failed meanwhile.
    std::size_t WriteAll(const std::uint8_t* bytes, std::size_t count) override;

    // Blocks until a byte arrives, the line is closed, or the device goes away. No polling.
    WaitResult WaitForInput() override;

    bool DiscardInput() override;
    bool DiscardOutput() override;
    // Both queues after a fresh opening, input only on a reserved device: see the .cpp.
    void DiscardStaleQueues() override;

    // Releases everything opening took: wakes every wait, waits for every call in progress to
    // return, then drops the exclusive mode and the lock and closes both descriptors. Output
    // left in the driver by a write that Close cut short is discarded, so that closing a
    // line the peer holds with XOFF does not wait for the driver to drain.
    void Close() override;
    bool IsClosed() const override { return closed_.load(); }

    // Closes as Close does, except that the terminal descriptor, with its lock and exclusive
    // mode, goes to the reservation instead of being closed.
    std::unique_ptr<PortReservation> CloseKeepingDevice() override;

    int DescriptorForTests() const { return fd_; }

  private:
    class Reservation;
    PosixSerialLine(int fd, int wakeFd, bool reopened);
    // A line on fd, a terminal taken exclusively; on failure fd is released and closed.
    static OpenResult<PosixSerialLine> OnDescriptor(int fd, bool reopened);
    // Close's work; returns the terminal descriptor, still held, when keepDevice, else -1.
    int CloseLine(bool keepDevice);
    bool ReadErrorCounters(serial_icounter_struct& counters) const;
    bool WaitWritable();

    // Every use of fd_ holds one of readMutex_, writeMutex_ or controlMutex_; Close takes all
    // three before closing it, so no call acts on a descriptor number reused meanwhile.
    int fd_;
    int wakeFd_;  // eventfd that Close signals: close() alone does not wake a poll() on fd_
    std::atomic<bool> closed_{false};
    mutable std::mutex readMutex_;     // the read side's calls
    std::mutex writeMutex_;            // one write on the line at a time
    mutable std::mutex controlMutex_;  // short requests from any thread: settings, counters
    std::mutex closeMutex_;
    serial_icounter_struct lastCounters_{};  // under controlMutex_
    bool haveCounters_ = false;
    bool writeCutShort_ = false;  // under writeMutex_: Close interrupted a write
    const bool reopened_;         // built on a reserved device, not opened afresh
};
