#include "serial/posix/PosixSerialLine.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <utility>

#include "serial/PortNames.h"
#include "serial/net/NetPortName.h"
#include "serial/net/NetworkLine.h"

OpenResult<PosixSerialLine> PosixSerialLine::Open(const std::string& devicePath) {
    auto fail = [](int error, int fd) -> OpenResult<PosixSerialLine> {
        if (fd >= 0) close(fd);
        return {nullptr, LineError::FromErrno(error)};
    };
    if (devicePath.empty()) return fail(ENOENT, -1);
    const int fd = open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(errno, -1);
    if (!termios2_io::IsTerminal(fd)) return fail(ENOTTY, fd);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno, fd);
    // TIOCEXCL makes further open() calls on the device fail with EBUSY, also for programs
    // that do not use flock. Pseudo-terminals accept it as well.
    if (ioctl(fd, TIOCEXCL) != 0) return fail(errno, fd);
    return OnDescriptor(fd, false);
}

OpenResult<PosixSerialLine> PosixSerialLine::OnDescriptor(int fd, bool reopened) {
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        const int error = errno;
        ioctl(fd, TIOCNXCL);
        close(fd);
        return {nullptr, LineError::FromErrno(error)};
    }
    return {std::shared_ptr<PosixSerialLine>(new PosixSerialLine(fd, wakeFd, reopened)), {}};
}

// The terminal descriptor of a closed line, still locked and exclusive: the same open file
// description, so no other program's open() or flock() gets the device until it is closed.
class PosixSerialLine::Reservation final : public PortReservation {
  public:
    explicit Reservation(int fd) : fd_(fd) {}
    ~Reservation() override {
        if (fd_ < 0) return;
        ioctl(fd_, TIOCNXCL);
        flock(fd_, LOCK_UN);
        close(fd_);
    }
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;

    LineOpenResult OpenLine() override {
        // A device that went away meanwhile (the far side hung up) answers no request.
        if (!termios2_io::IsTerminal(fd_)) return {nullptr, LineError::FromErrno(ENODEV)};
        auto [line, error] = OnDescriptor(std::exchange(fd_, -1), true);
        return {std::move(line), error};
    }

  private:
    int fd_;
};

PosixSerialLine::PosixSerialLine(int fd, int wakeFd, bool reopened)
    : fd_(fd), wakeFd_(wakeFd), reopened_(reopened) {
    haveCounters_ = ReadErrorCounters(lastCounters_);
}

PosixSerialLine::~PosixSerialLine() {
    Close();
}

bool PosixSerialLine::ApplySettings(const SerialSettings& settings) {
    // The driver's queues are the kernel's own (4 KiB for a tty's input); XOFF goes out when
    // the input queue is nearly full and XON once it has drained, as the line discipline
    // decides, which stands for the fixed 50-byte limits of other platforms.
    std::lock_guard lock(controlMutex_);
    if (closed_) return false;
    if (!termios2_io::ApplyRawSettings(fd_, settings)) return false;
    // A new opening starts with output flowing, whatever XOFF the last session was left with.
    termios2_io::RestartOutput(fd_);
    return true;
}

bool PosixSerialLine::IsUsable() const {
    std::lock_guard lock(controlMutex_);
    return !closed_ && termios2_io::IsTerminal(fd_);
}

bool PosixSerialLine::ReadErrorCounters(serial_icounter_struct& counters) const {
    return ioctl(fd_, TIOCGICOUNT, &counters) == 0;
}

bool PosixSerialLine::TakeLineErrors() {
    std::lock_guard lock(controlMutex_);
    if (closed_ || !haveCounters_) return false;
    serial_icounter_struct now{};
    if (!ReadErrorCounters(now)) return false;
    const bool errors = now.frame != lastCounters_.frame || now.overrun != lastCounters_.overrun ||
                        now.parity != lastCounters_.parity || now.brk != lastCounters_.brk ||
                        now.buf_overrun != lastCounters_.buf_overrun;
    lastCounters_ = now;
    return errors;
}

int PosixSerialLine::BytesQueued() const {
    std::lock_guard lock(readMutex_);
    if (closed_) return -1;
    int queued = 0;
    if (ioctl(fd_, FIONREAD, &queued) != 0) return -1;
    return queued;
}

int PosixSerialLine::OutputQueued() const {
    std::lock_guard lock(controlMutex_);
    if (closed_) return -1;
    int waiting = 0;
    if (ioctl(fd_, TIOCOUTQ, &waiting) != 0) return -1;
    return waiting;
}

long PosixSerialLine::ReadQueued(std::uint8_t* buffer, std::size_t maxBytes) {
    std::lock_guard lock(readMutex_);
    if (closed_) return -1;
    const ssize_t n = read(fd_, buffer, maxBytes);
    if (n >= 0) return static_cast<long>(n);
    return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
}

bool PosixSerialLine::WaitWritable() {
    pollfd fds[2] = {{fd_, POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
    for (;;) {
        const int r = poll(fds, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || closed_ || fds[1].revents) return false;
        if (fds[0].revents & (POLLERR | POLLNVAL)) return false;
        if (fds[0].revents & POLLOUT) return true;
        if (fds[0].revents & POLLHUP) return false;
    }
}

std::size_t PosixSerialLine::WriteAll(const std::uint8_t* bytes, std::size_t count) {
    std::lock_guard lock(writeMutex_);
    std::size_t done = 0;
    while (done < count && !closed_) {
        const ssize_t n = write(fd_, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);  // never resend what the driver already took
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n == 0 || errno == EAGAIN) {
            if (!WaitWritable()) {
                writeCutShort_ = closed_;
                break;
            }
        } else {
            break;
        }
    }
    return done;
}

SerialLine::WaitResult PosixSerialLine::WaitForInput() {
    std::lock_guard lock(readMutex_);
    if (closed_) return WaitResult::Closed;
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    for (;;) {
        const int r = poll(fds, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return WaitResult::Failed;
        if (closed_ || fds[1].revents) return WaitResult::Closed;
        if (fds[0].revents & POLLNVAL) return WaitResult::Failed;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            // A raw line with VMIN 0 reports input only when a byte waits, except once the
            // device has hung up: then it reports input (or a hang-up) with nothing queued.
            int queued = 0;
            if (ioctl(fd_, FIONREAD, &queued) == 0 && queued > 0) return WaitResult::InputReady;
            return WaitResult::HungUp;
        }
    }
}

bool PosixSerialLine::DiscardInput() {
    std::lock_guard lock(readMutex_);
    return !closed_ && termios2_io::DiscardInput(fd_);
}
bool PosixSerialLine::DiscardOutput() {
    std::lock_guard lock(controlMutex_);
    return !closed_ && termios2_io::DiscardOutput(fd_);
}

void PosixSerialLine::DiscardStaleQueues() {
    // After a fresh opening output goes too: the last close of a serial device has waited
    // until the driver sent what an earlier opening handed over (see Close), so nothing of it
    // is left to cut off. A reserved device was never closed, and its output (the
    // start-upgrade command, before a reopening at 115200) may still be going out.
    DiscardInput();
    if (!reopened_) DiscardOutput();
}

void PosixSerialLine::Close() {
    CloseLine(false);
}

std::unique_ptr<PortReservation> PosixSerialLine::CloseKeepingDevice() {
    const int fd = CloseLine(true);
    if (fd < 0) return nullptr;
    return std::make_unique<Reservation>(fd);
}

int PosixSerialLine::CloseLine(bool keepDevice) {
    std::lock_guard closeLock(closeMutex_);
    if (closed_.exchange(true)) return -1;
    // Wake every poll on this line; the counter is never read back, so it stays signalled.
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto w = write(wakeFd_, &one, sizeof one);
    // A reader or writer waiting has now returned; one in the middle of a call finishes it.
    // Only then are the descriptors closed, so no call can act on a number reused meanwhile.
    std::lock_guard readLock(readMutex_);
    std::lock_guard writeLock(writeMutex_);
    std::lock_guard controlLock(controlMutex_);
    // The last close of a serial device waits until the driver has sent its output, for up
    // to half a minute, and a peer's XOFF stops it from sending at all. The interrupted write
    // has already reported failure, so what it left in the driver is dropped instead.
    if (writeCutShort_) termios2_io::DiscardOutput(fd_);
    close(wakeFd_);
    if (keepDevice) return fd_;
    ioctl(fd_, TIOCNXCL);
    flock(fd_, LOCK_UN);
    close(fd_);
    return -1;
}

LineOpenResult OpenPlatformLine(const std::string& portName) {
    if (NetPortName::Parse(portName)) return NetworkLine::Open(portName);
    auto [line, error] = PosixSerialLine::Open(DevicePathForPortName(portName));
    return {std::move(line), error};
}
