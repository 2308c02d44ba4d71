#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "cli/InterruptSource.h"
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
    InterruptSource* const interrupts = io_.interrupts;
    pollfd waits[2] = {{fd_, POLLIN, 0},
                       {interrupts ? static_cast<int>(interrupts->Waitable()) : -1, POLLIN, 0}};
    const int r = poll(waits, interrupts ? 2 : 1, static_cast<int>(timeout.count()));
    if (r < 0 && errno != EINTR) {
        signal_ = SIGINT;
        return Result::Interrupted;
    }
    if (r > 0 && (waits[1].revents & POLLIN)) {
        if (const int number = interrupts->Take()) {
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

}  // namespace flash
