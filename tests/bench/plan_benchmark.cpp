// Benchmark: kavlet-flash --plan (a child process) over N ports at once, each a pseudo-terminal
// with one virtual head (in this process) paced as a real line at 115200 baud, an image of its
// own to each. Prints its figures; asserts nothing.
//
//   plan_benchmark [--kib N] [--heads 1,8,32]
//
// Time: from the start of kavlet-flash to its exit. The floor is measured in the same run: the
// plan with one port (N = 1), which the line's pace bounds; with every port served at once, N
// ports should take hardly longer. The wire's own floor is printed too: the frames' bytes at
// 11,520 bytes/s, plus 20 ms before each next block, plus the handshake's 2 s of pauses. CPU and
// peak memory are the child's (wait4): CPU per MiB of frames sent to all heads together.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/bench/FlashChild.h"
#include "tools/head/VirtualHead.h"
#include "upgrade/FirmwareFrame.h"

namespace {

constexpr std::uint32_t kPace = 115200;
constexpr double kBytesASecond = kPace / 10.0;  // 10 bits a byte on the wire
constexpr double kHandshakePauses = 2.0;
constexpr double kBlockPause = 0.020;

struct Figures {
    unsigned heads = 0;
    bench::FlashChild run;
    unsigned done = 0;  // heads holding their image
};

Figures RunPlan(unsigned n, std::size_t imageBytes) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() /
        ("kavlet-plan-bench-" + std::to_string(getpid()) + "-" + std::to_string(n));
    std::filesystem::create_directories(folder);
    std::vector<std::unique_ptr<head::VirtualHead>> heads;
    std::vector<std::vector<std::uint8_t>> images;
    std::ostringstream plan;
    plan << "port,address,protocol,speed,image\n";
    Figures figures;
    figures.heads = n;
    for (unsigned i = 0; i < n; ++i) {
        auto& image = images.emplace_back(imageBytes);
        for (std::size_t b = 0; b < image.size(); ++b)
            image[b] = static_cast<std::uint8_t>((b + i * 7919) * 2654435761u >> 24);
        const std::string name = "head" + std::to_string(i) + ".bin";
        std::ofstream(folder / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()),
                   static_cast<std::streamsize>(image.size()));
        head::HeadOptions options;
        options.address = 1;
        options.sizeRule = head::ImageSizeRule::ExpectSize;
        options.expectSize = static_cast<std::uint32_t>(imageBytes);
        options.paceBaud = kPace;
        std::string error;
        auto& h = heads.emplace_back(head::VirtualHead::CreatePty(options, &error));
        if (!h) {
            std::printf("no virtual head: %s\n", error.c_str());
            return figures;
        }
        h->Start();
        plan << h->SlavePath() << ",1,pelco-d,2400," << name << "\n";
    }
    std::ofstream((folder / "site.csv").string()) << plan.str();
    figures.run = bench::RunFlashChild({"--plan", (folder / "site.csv").string(), "--quiet"},
                                       (folder / "run.log").string());
    for (unsigned i = 0; i < n; ++i) {
        heads[i]->Stop();
        if (heads[i]->Report().finishedImage == images[i]) ++figures.done;
    }
    std::filesystem::remove_all(folder);
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t kib = 256;
    std::vector<unsigned> counts = {1, 8, 32};
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--kib")) kib = std::stoul(argv[i + 1]);
        if (!std::strcmp(argv[i], "--heads")) {
            counts.clear();
            std::istringstream list(argv[i + 1]);
            for (std::string n; std::getline(list, n, ',');) counts.push_back(std::stoul(n));
        }
    }
    const std::size_t imageBytes = kib * 1024;
    const std::size_t frames = static_cast<std::size_t>(
        TotalBytesToSend(static_cast<std::int32_t>(imageBytes)) / FRAME_SIZE);
    const double frameMib = static_cast<double>(frames * FRAME_SIZE) / (1024.0 * 1024.0);
    const double wire = static_cast<double>(frames * FRAME_SIZE) / kBytesASecond +
                        static_cast<double>(frames) * kBlockPause + kHandshakePauses;
    std::printf("plan of N ports, one head each paced at %u baud, %zu KiB each (%zu frames)\n",
                kPace, kib, frames);
    std::printf("wire floor for one head: %.2f s\n", wire);
    double one = 0;
    for (const unsigned n : counts) {
        const Figures f = RunPlan(n, imageBytes);
        if (n == counts.front()) one = f.run.seconds;
        const double imagesMib = static_cast<double>(n * imageBytes) / (1024.0 * 1024.0);
        const double rssMib = static_cast<double>(f.run.maxRssKib) / 1024.0;
        std::printf("\nN = %u: %s (exit %d, %u of %u heads hold their image)\n", n,
                    f.done == n && f.run.exitStatus == 0 ? "done" : "DID NOT FINISH",
                    f.run.exitStatus, f.done, n);
        std::printf("  time:        %.2f s; / N = %u: %.3f (target <= 1.10); / wire floor %.3f\n",
                    f.run.seconds, counts.front(), f.run.seconds / one, f.run.seconds / wire);
        std::printf(
            "  CPU:         %.2f s, %.3f s per head-MiB (target <= 0.1), %.1f%% of a core\n",
            f.run.cpu, f.run.cpu / (frameMib * n), 100.0 * f.run.cpu / f.run.seconds);
        std::printf("  peak memory: %.1f MiB (target <= 64 + %.1f MiB of images)\n", rssMib,
                    imagesMib);
        if (f.done != n || f.run.exitStatus != 0) std::printf("%s\n", f.run.output.c_str());
    }
    return 0;
}
