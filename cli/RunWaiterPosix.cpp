#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <thread>

#include "cli/RunWaiter.h"

namespace flash {

RunWaiter::RunWaiter(const RunIo& io) : io_(io), fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

RunWaiter::~RunWaiter() {
    if (fd_ >= 0) close(fd_);
}

std::string RunWaiter::Problem() const {
    if (fd_ >= 0) return {};
    return std::string("no eventfd could be made: ") + std::strerror(errno) + ".";
}

void RunWaiter::Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(fd_, &one, sizeof one);
}

RunWaiter::Result RunWaiter::Wait(std::chrono::milliseconds timeout) {
    pollfd waits[2] = {{fd_, POLLIN, 0}, {io_.interruptFd, POLLIN, 0}};
    const int r = poll(waits, io_.interruptFd >= 0 ? 2 : 1, static_cast<int>(timeout.count()));
    if (r < 0 && errno != EINTR) {
        signal_ = SIGINT;
        return Result::Interrupted;
    }
    if (r > 0 && (waits[1].revents & POLLIN)) {
        unsigned char number = 0;
        if (read(io_.interruptFd, &number, 1) == 1) {
            signal_ = number;
            return Result::Interrupted;
        }
    }
    if (r > 0 && (waits[0].revents & POLLIN)) {
        std::uint64_t count;
        [[maybe_unused]] const auto got = read(fd_, &count, sizeof count);
        return Result::Woken;
    }
    return Result::TimedOut;
}

bool RunWaiter::InterruptCame(std::chrono::milliseconds timeout) const {
    if (io_.interruptFd < 0) {
        std::this_thread::sleep_for(timeout);
        return false;
    }
    pollfd wait{io_.interruptFd, POLLIN, 0};
    const int r = poll(&wait, 1, static_cast<int>(timeout.count()) + 1);
    return r > 0 || (r < 0 && errno != EINTR);  // a signal waits to be handled: no more pausing
}

std::string SignalName(int number) {
    switch (number) {
        case SIGHUP:
            return "SIGHUP";
        case SIGINT:
            return "SIGINT";
        case SIGQUIT:
            return "SIGQUIT";
        case SIGTERM:
            return "SIGTERM";
    }
    return "signal " + std::to_string(number);
}

}  // namespace flash
