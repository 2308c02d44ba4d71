// A serial device on the Windows communications API: a COM port handle opened for overlapped
// I/O and taken exclusively (no sharing), and an event that Close signals to wake every wait.
// Thread rules as for every SerialLine.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "serial/SerialLine.h"

class Win32SerialLine final : public SerialLine {
  public:
    // The read-interval time-out every opening sets. Reads ask only for what is queued, so it
    // never holds one up; it stands for "wait for the first byte, without end".
    static constexpr DWORD kReadIntervalTimeoutMs = 600000;
    // The driver's queues each opening asks for, in bytes.
    static constexpr DWORD kQueueSize = 4096;

    // Opens devicePath (\\.\COMn) read/write, shared with nobody, for overlapped I/O; sets the
    // time-outs, the event mask (EV_RXCHAR) and the queue sizes, clears the error flags an
    // earlier opening left, and empties the input queue only (see the .cpp for why output is
    // left alone). On failure the error carries an errno value that explains it (ENOENT: no
    // such port; EBUSY: another program holds it).
    static OpenResult<Win32SerialLine> Open(const std::string& devicePath);
    // The errno value Open reports for the error with which CreateFile refused a port.
    static int ErrnoForOpenError(DWORD error);

    ~Win32SerialLine() override;
    Win32SerialLine(const Win32SerialLine&) = delete;
    Win32SerialLine& operator=(const Win32SerialLine&) = delete;

    // A DCB built anew: the rate as given (128000 and 256000 included), binary, parity
    // checking on, XON/XOFF (0x11/0x13, limits 50 bytes) both ways, no hardware flow control,
    // DTR and RTS on. False, leaving dcb alone, for settings with no DCB equivalent.
    static bool BuildDcb(const SerialSettings& settings, DCB& dcb);

    // SetCommState with BuildDcb's DCB, then SETXON.
    bool ApplySettings(const SerialSettings& settings) override;

    bool IsUsable() const override;

    // ClearCommError's frame, overrun, parity, break and buffer-overrun flags, together with
    // any that the queue-size queries below cleared meanwhile.
    bool TakeLineErrors() override;

    // COMSTAT.cbInQue, or -1 when the device cannot be asked.
    int BytesQueued() const override;
    int OutputQueued() const override;

    // Reads min(maxBytes, queued) bytes with an overlapped ReadFile, which then never waits.
    long ReadQueued(std::uint8_t* buffer, std::size_t maxBytes) override;

    // Overlapped WriteFile, completed with GetOverlappedResult; a peer's XOFF holds it until
    // XON or Close.
    std::size_t WriteAll(const std::uint8_t* bytes, std::size_t count) override;

    // Overlapped WaitCommEvent (EV_RXCHAR) against the close event.
    WaitResult WaitForInput() override;

    bool DiscardInput() override;
    bool DiscardOutput() override;
    // Input only: see the .cpp for why output stays.
    void DiscardStaleQueues() override;

    // Signals the close event, cancels the I/O in progress (CancelIoEx), waits for every call
    // to return, discards output a cut-short write left, and closes the handle and the events.
    void Close() override;
    bool IsClosed() const override { return closed_.load(); }

    // Closes as Close does, except that the port handle, and with it the port taken with no
    // sharing, goes to the reservation instead of being closed.
    std::unique_ptr<PortReservation> CloseKeepingDevice() override;

  private:
    class Reservation;
    Win32SerialLine(HANDLE port, HANDLE closeEvent, HANDLE readEvent, HANDLE writeEvent,
                    HANDLE waitEvent);
    // A line on port, a COM port handle opened for overlapped I/O: the events, the time-outs,
    // the event mask, the queue sizes, the error flags and the input queue as Open describes.
    // On failure port is closed.
    static OpenResult<Win32SerialLine> OnHandle(HANDLE port);
    // Close's work; returns the port handle, still open, when keepDevice, else null.
    HANDLE CloseLine(bool keepDevice);
    // ClearCommError; the error flags are kept for TakeLineErrors. False when it fails.
    bool QueryStatus(COMSTAT& status) const;
    // Waits for an overlapped operation begun with ERROR_IO_PENDING, or for Close (which
    // cancels it). True with *transferred when it completed.
    bool Complete(OVERLAPPED& overlapped, DWORD* transferred);

    HANDLE port_;
    HANDLE closeEvent_;  // manual reset: set once by Close, wakes every wait
    HANDLE readEvent_;   // the events of the overlapped calls, one per kind, made per opening
    HANDLE writeEvent_;
    HANDLE waitEvent_;
    std::atomic<bool> closed_{false};
    mutable std::mutex readMutex_;     // the read side's calls
    std::mutex writeMutex_;            // one write on the line at a time
    mutable std::mutex controlMutex_;  // short requests from any thread: settings, errors
    std::mutex closeMutex_;
    std::mutex waitIssueMutex_;  // a WaitCommEvent begun, against Close's change of the mask
    mutable std::atomic<DWORD> pendingErrors_{0};  // flags ClearCommError gave, not yet taken
    bool writeCutShort_ = false;                   // under writeMutex_: Close interrupted a write
};
