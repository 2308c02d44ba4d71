#include <fcntl.h>
#include <unistd.h>

#include "cli/PortSignal.h"

namespace flash {

PortSignal::PortSignal(const RunIo& run) : io_(run) {
    // The port hears the run's interrupts through a pipe of its own; without one it hears none.
    io_.interrupts = nullptr;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
    readFd_ = ends[0];
    writeFd_ = ends[1];
    source_ = std::make_unique<InterruptSource>(readFd_);
    io_.interrupts = source_.get();
}

PortSignal::~PortSignal() {
    if (readFd_ >= 0) close(readFd_);
    if (writeFd_ >= 0) close(writeFd_);
}

void PortSignal::Raise(int signal) {
    const unsigned char byte = static_cast<unsigned char>(signal);
    if (writeFd_ >= 0) [[maybe_unused]]
        const auto written = write(writeFd_, &byte, 1);
}

}  // namespace flash
