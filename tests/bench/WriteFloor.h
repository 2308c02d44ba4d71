// The floor that the sender's writes set, measured in the benchmark's own run: a plain loop
// writing count bytes frame by frame, each frame in writes of at most kFrameWrite bytes as the
// sender makes them, to a fresh pseudo-terminal whose far side a thread drains. The median of three
// loops by CPU, since one loop varies by a third on a shared machine.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include "upgrade/FirmwareFrame.h"
#include "upgrade/Sender.h"

namespace bench {

// CPU seconds of the calling thread, user and system.
inline double ThreadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct WriteCost {
    double seconds = 0;  // wall time of the loop
    double cpu = 0;      // of the writing thread alone
};

inline WriteCost PlainWriteCost(std::size_t count) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return {};
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) return {};
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    cfsetspeed(&raw, B115200);
    tcsetattr(slave, TCSANOW, &raw);
    std::atomic<bool> draining{true};
    std::thread drain([&] {
        char buffer[4096];
        pollfd p{master, POLLIN, 0};
        while (draining) {
            if (poll(&p, 1, 10) > 0) (void)!read(master, buffer, sizeof buffer);
        }
    });
    const std::vector<std::uint8_t> bytes(kFrameWrite, 0x5A);
    const double cpu0 = ThreadCpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    for (std::size_t frame = 0; frame < count; frame += FRAME_SIZE) {
        const std::size_t frameEnd = std::min(count, frame + FRAME_SIZE);
        for (std::size_t at = frame; at < frameEnd;) {
            const ssize_t n = write(slave, bytes.data(), std::min(kFrameWrite, frameEnd - at));
            if (n > 0) at += static_cast<std::size_t>(n);
        }
    }
    WriteCost cost;
    cost.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cost.cpu = ThreadCpuSeconds() - cpu0;
    draining = false;
    drain.join();
    close(slave);
    close(master);
    return cost;
}

inline WriteCost MedianWriteCost(std::size_t count) {
    std::vector<WriteCost> loops;
    for (int i = 0; i < 3; ++i) loops.push_back(PlainWriteCost(count));
    std::sort(loops.begin(), loops.end(),
              [](const WriteCost& a, const WriteCost& b) { return a.cpu < b.cpu; });
    return loops[1];
}

}  // namespace bench
