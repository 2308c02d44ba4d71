#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "cli/InterruptSource.h"

namespace flash {
namespace {

int signalPipe[2] = {-1, -1};

// Async-signal-safe: the run reads the number from the pipe.
void OnSignal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const auto written = write(signalPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

InterruptSource* InterruptSource::Catch() {
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // The terminal closed (SIGHUP), Ctrl-C, Ctrl-\ (SIGQUIT) and SIGTERM all stop the run alike.
    for (const int number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
        if (sigaction(number, &action, nullptr) != 0) return nullptr;
    signal(SIGPIPE, SIG_IGN);  // a closed output pipe shows as a failed write, not death
    static InterruptSource source(signalPipe[0]);
    return &source;
}

int InterruptSource::Take() {
    unsigned char number = 0;
    return read(static_cast<int>(waitable_), &number, 1) == 1 ? number : 0;
}

bool InterruptSource::Came(std::chrono::milliseconds timeout) const {
    pollfd wait{static_cast<int>(waitable_), POLLIN, 0};
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
