#include <fcntl.h>
#include <unistd.h>

#include "cli/PortSignal.h"

namespace flash {

PortSignal::PortSignal(const RunIo& run) : io_(run) {
    int ends[2];
    io_.interruptFd = -1;
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
    io_.interruptFd = ends[0];
    writeFd_ = ends[1];
}

PortSignal::~PortSignal() {
    if (io_.interruptFd >= 0) close(io_.interruptFd);
    if (writeFd_ >= 0) close(writeFd_);
}

void PortSignal::Raise(int signal) {
    const unsigned char byte = static_cast<unsigned char>(signal);
    if (writeFd_ >= 0) [[maybe_unused]]
        const auto written = write(writeFd_, &byte, 1);
}

}  // namespace flash
