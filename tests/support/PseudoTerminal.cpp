#include "tests/support/PseudoTerminal.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include "serial/posix/Termios2.h"

PseudoTerminal::PseudoTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master_ < 0) return;
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        CloseMaster();
        return;
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        CloseMaster();
        return;
    }
    slavePath_ = name;
}

PseudoTerminal::~PseudoTerminal() { CloseMaster(); }

void PseudoTerminal::CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

bool PseudoTerminal::Write(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        pollfd p{master_, POLLOUT, 0};
        if (poll(&p, 1, 2000) <= 0) return false;
    }
    return true;
}

std::vector<std::uint8_t> PseudoTerminal::Read(std::size_t count, std::chrono::milliseconds timeout) {
    std::vector<std::uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        std::uint8_t buffer[4096];
        const ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - got.size()));
        if (n <= 0) break;
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

std::vector<std::uint8_t> PseudoTerminal::ReadUntilQuiet(std::chrono::milliseconds quiet) {
    std::vector<std::uint8_t> got;
    for (;;) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
        std::uint8_t buffer[4096];
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) break;
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

std::optional<std::uint32_t> PseudoTerminal::BaudRate() const { return termios2_io::ReadBaudRate(master_); }
