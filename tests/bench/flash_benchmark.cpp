// Benchmark: kavlet-flash (a child process) sending an image unpaced to the virtual head (in this
// process) on a pseudo-terminal, whole runs from start to exit. Prints its figures; asserts
// nothing.
//
//   flash_benchmark [--kib N] [--runs N]
//
// Time: from the start of kavlet-flash to its exit. The floor is what the run cannot do without,
// measured in the same run: the frames' bytes (256 frames of 4107 bytes for 1 MiB) in the
// sender's writes of at most 64 bytes to a fresh pseudo-terminal whose far side is drained, plus
// the 20 ms pause before each next block, plus the handshake's 2 s of fixed pauses (part of
// kavlet-flash's run, so added to the floor rather than taken from the time). CPU: the child's
// (wait4), against the writing thread's alone (RUSAGE_THREAD) for the same bytes, the median of
// three loops.
//
// Each run does it three times: straight to the head's pseudo-terminal, then through ser2net in
// RFC 2217 mode on loopback (rfc2217://127.0.0.1:PORT, ser2net's serial side the head's
// pseudo-terminal) as installed and with `chardelay: false`, each against its own measured
// floor of the pseudo-terminal: what the network adds.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/bench/FlashChild.h"
#include "tests/bench/WriteFloor.h"
#include "tests/support/Ser2net.h"
#include "tools/head/VirtualHead.h"
#include "upgrade/FirmwareFrame.h"

namespace {

constexpr double kHandshakePauses = 2.0;  // seconds of fixed pauses before the first frame
constexpr double kBlockPause = 0.020;     // before each next block

// kavlet-flash --quiet to the head at address 1.
bench::FlashChild RunFlash(const std::string& port, const std::string& image,
                           const std::string& log) {
    return bench::RunFlashChild({"--port", port, "--address", "1", "--quiet", image}, log);
}

enum class Road { Pty, Ser2net, Ser2netNoCharDelay };

void RunOnce(std::size_t imageBytes, int number, Road road) {
    const bool network = road != Road::Pty;
    const auto folder = std::filesystem::temp_directory_path();
    const std::string stem = "kavlet-flash-bench-" + std::to_string(getpid());
    const std::string file = (folder / (stem + ".bin")).string();
    const std::string log = (folder / (stem + ".log")).string();
    {
        std::vector<char> image(imageBytes);
        for (std::size_t i = 0; i < image.size(); ++i)
            image[i] = static_cast<char>(i * 2654435761u >> 24);
        std::ofstream(file, std::ios::binary)
            .write(image.data(), static_cast<std::streamsize>(image.size()));
    }

    head::HeadOptions options;
    options.address = 1;
    options.sizeRule = head::ImageSizeRule::ExpectSize;
    options.expectSize = static_cast<std::uint32_t>(imageBytes);
    std::string error;
    auto head = head::VirtualHead::CreatePty(options, &error);
    if (!head) {
        std::printf("no virtual head: %s\n", error.c_str());
        return;
    }
    head->Start();
    std::optional<Ser2net> server;
    if (network) {
        server.emplace(head->SlavePath(), (folder / (stem + ".yaml")).string(),
                       road == Road::Ser2net);
        if (!server->Running()) {
            std::printf("no ser2net: %s\n", server->Error().c_str());
            return;
        }
    }
    const bench::FlashChild run = RunFlash(network ? server->Rfc2217Name() : head->SlavePath(), file, log);
    server.reset();
    std::filesystem::remove(folder / (stem + ".yaml"));
    head->Stop();
    const head::HeadReport report = head->Report();
    head.reset();
    std::filesystem::remove(file);
    std::filesystem::remove(log);

    const std::size_t frames = static_cast<std::size_t>(
        TotalBytesToSend(static_cast<std::int32_t>(imageBytes)) / FRAME_SIZE);
    const std::size_t frameBytes = frames * FRAME_SIZE;
    // The writes alone: the median of three loops, since one varies by a third on a shared
    // machine.
    const bench::WriteCost writes = bench::MedianWriteCost(frameBytes);
    const double floor = writes.seconds + frames * kBlockPause + kHandshakePauses;
    const double mib = static_cast<double>(frameBytes) / (1024.0 * 1024.0);
    const bool done = run.exitStatus == 0 && report.finishedImage.size() == imageBytes;

    std::printf("\nrun %d%s: unpaced, %zu KiB image, %zu frames (%zu bytes)\n", number,
                road == Road::Pty       ? ""
                : road == Road::Ser2net ? " through ser2net (rfc2217://127.0.0.1)"
                                        : " through ser2net, chardelay: false",
                imageBytes / 1024, frames, frameBytes);
    std::printf("  result:           %s (exit %d, head: %u frames, %u resends)\n",
                done ? "done" : "did not finish", run.exitStatus, report.frames, report.resends);
    std::printf("  total time:       %.2f s (start to exit)\n", run.seconds);
    std::printf(
        "  floor:            %.2f s (writes %.2f s, %.3f us a byte; + %zu x 20 ms; "
        "+ %.0f s handshake pauses)\n",
        floor, writes.seconds, 1e6 * writes.seconds / static_cast<double>(frameBytes), frames,
        kHandshakePauses);
    std::printf("  time / floor:     %.3f (target <= %.2f)\n", run.seconds / floor,
                network ? 1.10 : 1.05);
    std::printf(
        "  tool CPU:         %.2f s (%.2f s per MiB sent, target <= %.2f; %.1f%% of one core, "
        "max RSS %ld KiB)\n",
        run.cpu, run.cpu / mib, network ? 0.15 : 0.3, 100.0 * run.cpu / run.seconds, run.maxRssKib);
    std::printf("  writes alone CPU: %.2f s (writes of 64 bytes, far side drained)\n", writes.cpu);
    std::printf("  tool CPU / writes alone: %.3f\n", run.cpu / writes.cpu);
    if (!done) std::printf("  output:\n%s", run.output.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t kib = 1024;
    int runs = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--kib")) kib = std::stoul(argv[i + 1]);
        if (!std::strcmp(argv[i], "--runs")) runs = std::stoi(argv[i + 1]);
    }
    for (int i = 1; i <= runs; ++i) {
        RunOnce(kib * 1024, i, Road::Pty);
        if (Ser2net::Installed()) {
            RunOnce(kib * 1024, i, Road::Ser2net);
            RunOnce(kib * 1024, i, Road::Ser2netNoCharDelay);
        } else {
            std::printf("\nrun %d through ser2net: ser2net is not installed\n", i);
        }
    }
    return 0;
}
