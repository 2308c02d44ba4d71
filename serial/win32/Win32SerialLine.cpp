#include "serial/win32/Win32SerialLine.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <utility>

#include "serial/PortNames.h"
#include "serial/net/NetPortName.h"
#include "serial/net/NetworkLine.h"

namespace {

constexpr DWORD kLineErrorFlags = CE_FRAME | CE_OVERRUN | CE_RXPARITY | CE_BREAK | CE_RXOVER;

// The errors with which the communications calls report a device that has gone away (a USB
// adapter pulled out).
bool MeansDeviceGone(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_BAD_COMMAND ||
           error == ERROR_DEVICE_REMOVED || error == ERROR_GEN_FAILURE ||
           error == ERROR_FILE_NOT_FOUND || error == ERROR_DEVICE_NOT_CONNECTED;
}

void CloseIfValid(HANDLE handle) {
    if (handle && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

}  // namespace

int Win32SerialLine::ErrnoForOpenError(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:  // what a COM port held by another program answers
        case ERROR_SHARING_VIOLATION:
            return EBUSY;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        default:
            return EIO;
    }
}

OpenResult<Win32SerialLine> Win32SerialLine::Open(const std::string& devicePath) {
    if (devicePath.empty()) return {nullptr, LineError::FromErrno(ENOENT)};
    const HANDLE port = CreateFileA(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return {nullptr, LineError::FromErrno(ErrnoForOpenError(GetLastError()))};
    // Anything but a communications device (a file, a named pipe) has no line state.
    DCB probe{};
    probe.DCBlength = sizeof probe;
    if (GetFileType(port) != FILE_TYPE_CHAR || !GetCommState(port, &probe)) {
        CloseHandle(port);
        return {nullptr, LineError::FromErrno(ENOTTY)};
    }
    return OnHandle(port);
}

OpenResult<Win32SerialLine> Win32SerialLine::OnHandle(HANDLE port) {
    HANDLE events[4] = {};
    auto fail = [&](int error) -> OpenResult<Win32SerialLine> {
        for (HANDLE event : events) CloseIfValid(event);
        CloseHandle(port);
        return {nullptr, LineError::FromErrno(error)};
    };
    for (HANDLE& event : events) {
        event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!event) return fail(ENOMEM);
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = kReadIntervalTimeoutMs;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;  // writes have no time-out: XOFF may hold them
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(port, &timeouts) || !SetCommMask(port, EV_RXCHAR) ||
        !SetupComm(port, kQueueSize, kQueueSize))
        return fail(EIO);
    // Error flags an earlier opening left (bytes at another speed arrive as frame errors)
    // would otherwise refuse the first write of this one, the start-upgrade command.
    DWORD staleErrors = 0;
    ClearCommError(port, &staleErrors, nullptr);
    // Only the input queue is emptied. Output is what an earlier opening handed over and the
    // driver (a USB adapter's buffer above all) may still be sending: the start-upgrade
    // command, written at the head's speed, is followed by a reopening at 115200 after a
    // short pause, and purging output there could cut its tail off. A new handle has queued
    // no output of its own, so there is nothing of this opening to discard.
    PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR);
    return {std::shared_ptr<Win32SerialLine>(
                new Win32SerialLine(port, events[0], events[1], events[2], events[3])),
            {}};
}

// The handle of a closed line, still open: the port was taken with no sharing, so no other
// program opens it until this handle is closed.
class Win32SerialLine::Reservation final : public PortReservation {
  public:
    explicit Reservation(HANDLE port) : port_(port) {}
    ~Reservation() override { CloseIfValid(port_); }
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;

    LineOpenResult OpenLine() override {
        // A device that went away meanwhile (an adapter pulled out) has no line state.
        DCB probe{};
        probe.DCBlength = sizeof probe;
        if (!GetCommState(port_, &probe)) return {nullptr, LineError::FromErrno(ENODEV)};
        auto [line, error] = OnHandle(std::exchange(port_, nullptr));
        return {std::move(line), error};
    }

  private:
    HANDLE port_;
};

Win32SerialLine::Win32SerialLine(HANDLE port, HANDLE closeEvent, HANDLE readEvent,
                                 HANDLE writeEvent, HANDLE waitEvent)
    : port_(port),
      closeEvent_(closeEvent),
      readEvent_(readEvent),
      writeEvent_(writeEvent),
      waitEvent_(waitEvent) {}

Win32SerialLine::~Win32SerialLine() {
    Close();
}

bool Win32SerialLine::BuildDcb(const SerialSettings& settings, DCB& dcb) {
    if (settings.baudRate == 0 || settings.byteSize < 5 || settings.byteSize > 8 ||
        settings.parity > 4 || settings.stopBits > 2)
        return false;
    dcb = DCB{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = settings.baudRate;  // any rate in baud: CBR_128000 and CBR_256000 are too
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = FALSE;
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    dcb.XonLim = 50;
    dcb.XoffLim = 50;
    dcb.ByteSize = settings.byteSize;
    static constexpr BYTE kParity[] = {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY};
    dcb.Parity = kParity[settings.parity];
    static constexpr BYTE kStopBits[] = {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS};
    dcb.StopBits = kStopBits[settings.stopBits];
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return true;
}

bool Win32SerialLine::ApplySettings(const SerialSettings& settings) {
    std::lock_guard lock(controlMutex_);
    if (closed_) return false;
    DCB dcb;
    if (!BuildDcb(settings, dcb) || !SetCommState(port_, &dcb)) return false;
    // A new opening starts with output flowing, whatever XOFF the last session was left with.
    EscapeCommFunction(port_, SETXON);
    return true;
}

bool Win32SerialLine::IsUsable() const {
    std::lock_guard lock(controlMutex_);
    if (closed_) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    return GetCommState(port_, &dcb) != 0;
}

bool Win32SerialLine::QueryStatus(COMSTAT& status) const {
    DWORD errors = 0;
    if (!ClearCommError(port_, &errors, &status)) return false;
    if (errors & kLineErrorFlags) pendingErrors_.fetch_or(errors & kLineErrorFlags);
    return true;
}

bool Win32SerialLine::TakeLineErrors() {
    std::lock_guard lock(controlMutex_);
    if (closed_) return false;
    COMSTAT status{};
    QueryStatus(status);
    return pendingErrors_.exchange(0) != 0;
}

int Win32SerialLine::BytesQueued() const {
    std::lock_guard lock(readMutex_);
    if (closed_) return -1;
    COMSTAT status{};
    if (!QueryStatus(status)) return -1;
    return static_cast<int>(std::min<DWORD>(status.cbInQue, std::numeric_limits<int>::max()));
}

int Win32SerialLine::OutputQueued() const {
    std::lock_guard lock(controlMutex_);
    if (closed_) return -1;
    COMSTAT status{};
    if (!QueryStatus(status)) return -1;
    return static_cast<int>(std::min<DWORD>(status.cbOutQue, std::numeric_limits<int>::max()));
}

bool Win32SerialLine::Complete(OVERLAPPED& overlapped, DWORD* transferred) {
    const HANDLE waits[2] = {overlapped.hEvent, closeEvent_};
    const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (woken != WAIT_OBJECT_0) {
        // Closed (or the wait failed): the operation is cancelled and waited for, since the
        // driver writes into the OVERLAPPED until it has completed.
        CancelIoEx(port_, &overlapped);
        GetOverlappedResult(port_, &overlapped, transferred, TRUE);
        return false;
    }
    return GetOverlappedResult(port_, &overlapped, transferred, FALSE) != 0;
}

long Win32SerialLine::ReadQueued(std::uint8_t* buffer, std::size_t maxBytes) {
    std::lock_guard lock(readMutex_);
    if (closed_) return -1;
    COMSTAT status{};
    if (!QueryStatus(status)) return -1;
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(maxBytes, status.cbInQue));
    if (wanted == 0) return 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = readEvent_;
    ResetEvent(readEvent_);
    DWORD got = 0;
    if (!ReadFile(port_, buffer, wanted, &got, &overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) return -1;
        // The bytes are queued already: this completes at once, unless Close cancels it.
        if (!Complete(overlapped, &got) && got == 0) return -1;
    }
    return static_cast<long>(got);
}

std::size_t Win32SerialLine::WriteAll(const std::uint8_t* bytes, std::size_t count) {
    std::lock_guard lock(writeMutex_);
    std::size_t done = 0;
    while (done < count && !closed_) {
        const DWORD chunk = static_cast<DWORD>(
            std::min<std::size_t>(count - done, std::numeric_limits<DWORD>::max()));
        OVERLAPPED overlapped{};
        overlapped.hEvent = writeEvent_;
        ResetEvent(writeEvent_);
        DWORD written = 0;
        if (!WriteFile(port_, bytes + done, chunk, &written, &overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING) break;
            const bool completed = Complete(overlapped, &written);
            done += written;  // never resend what the driver already took
            if (!completed) {
                writeCutShort_ = closed_;
                break;
            }
        } else {
            done += written;
        }
        if (written == 0) break;  // the driver takes nothing and reports no error
    }
    return done;
}

SerialLine::WaitResult Win32SerialLine::WaitForInput() {
    std::lock_guard lock(readMutex_);
    for (;;) {
        if (closed_) return WaitResult::Closed;
        COMSTAT status{};
        if (!QueryStatus(status)) {
            return MeansDeviceGone(GetLastError()) ? WaitResult::HungUp : WaitResult::Failed;
        }
        if (status.cbInQue > 0) return WaitResult::InputReady;
        OVERLAPPED overlapped{};
        overlapped.hEvent = waitEvent_;
        ResetEvent(waitEvent_);
        DWORD mask = 0;
        BOOL waited;
        DWORD error = 0;
        {
            // Either Close has changed the event mask already, and the wait is not begun, or
            // the wait is pending when Close changes the mask, which ends it. A wait begun
            // just after that change would wait on an empty mask, which nothing ends where
            // the cancellation does not reach it (Wine).
            std::lock_guard issue(waitIssueMutex_);
            if (closed_) return WaitResult::Closed;
            waited = WaitCommEvent(port_, &mask, &overlapped);
            if (!waited) error = GetLastError();
        }
        if (!waited) {
            if (error != ERROR_IO_PENDING) {
                if (closed_) return WaitResult::Closed;
                return MeansDeviceGone(error) ? WaitResult::HungUp : WaitResult::Failed;
            }
            DWORD unused = 0;
            if (!Complete(overlapped, &unused)) {
                if (closed_) return WaitResult::Closed;
                return MeansDeviceGone(GetLastError()) ? WaitResult::HungUp : WaitResult::Failed;
            }
        }
        // EV_RXCHAR may stand for bytes already read: the queue is looked at again.
    }
}

bool Win32SerialLine::DiscardInput() {
    std::lock_guard lock(readMutex_);
    return !closed_ && PurgeComm(port_, PURGE_RXABORT | PURGE_RXCLEAR) != 0;
}

bool Win32SerialLine::DiscardOutput() {
    std::lock_guard lock(controlMutex_);
    return !closed_ && PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR) != 0;
}

void Win32SerialLine::DiscardStaleQueues() {
    // Only input is emptied: output an earlier opening handed over may still be in the
    // adapter's buffer (the start-upgrade command, followed by a reopening after a short
    // pause), and this opening has queued none of its own (see Open).
    DiscardInput();
}

void Win32SerialLine::Close() {
    CloseLine(false);
}

std::unique_ptr<PortReservation> Win32SerialLine::CloseKeepingDevice() {
    const HANDLE port = CloseLine(true);
    if (!port) return nullptr;
    return std::make_unique<Reservation>(port);
}

HANDLE Win32SerialLine::CloseLine(bool keepDevice) {
    std::lock_guard closeLock(closeMutex_);
    if (closed_.exchange(true)) return nullptr;
    // Wakes every wait on this line; the event stays set. The I/O in progress is cancelled
    // by the thread that waits for it (see Complete), and once more here for good measure.
    SetEvent(closeEvent_);
    CancelIoEx(port_, nullptr);
    // A new event mask ends a WaitCommEvent in progress, also on drivers (and Wine) whose
    // wait does not answer the cancellation (see WaitForInput for the order).
    {
        std::lock_guard issue(waitIssueMutex_);
        SetCommMask(port_, 0);
    }
    std::lock_guard readLock(readMutex_);
    std::lock_guard writeLock(writeMutex_);
    std::lock_guard controlLock(controlMutex_);
    // A write that Close cut short has reported failure: what it left in the driver is
    // dropped, so that closing a line the peer holds with XOFF does not wait for it.
    if (writeCutShort_) PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR);
    CloseHandle(waitEvent_);
    CloseHandle(writeEvent_);
    CloseHandle(readEvent_);
    CloseHandle(closeEvent_);
    if (keepDevice) return port_;
    CloseHandle(port_);
    return nullptr;
}

LineOpenResult OpenPlatformLine(const std::string& portName) {
    if (NetPortName::Parse(portName)) return NetworkLine::Open(portName);
    auto [line, error] = Win32SerialLine::Open(DevicePathForPortName(portName));
    return {std::move(line), error};
}
