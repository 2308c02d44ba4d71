// Benchmark: whole transfers through a pseudo-terminal to the virtual head (a child process),
// driven through the main window as the operator would. Prints its figures; asserts nothing.
//
//   transfer_benchmark [--paced-kib N] [--unpaced-kib N] [--accessibility] [--no-probe]
//
// --accessibility: the run needs Qt's accessibility bridge, as a desktop with a screen reader
// or the accessibility bus on has it (scripts/a11y-benchmark.sh sets one up under Xvfb). The
// benchmark waits up to 10 s for the bridge to come up once the window is shown, and ends
// with status 2 if it does not (or if the head does not start). Every run prints whether the
// bridge was active.
//
// Paced: the head reads at 11,520 bytes/s (115200 baud); the floor is the frame bytes at that
// rate plus the 20 ms pause before each next block. Unpaced: the head reads at once; the floor
// is the time of the sender's writes (64 bytes at most each), plus 20 ms per frame. The writes
// alone are measured in the same run: a plain loop writing the frames' bytes in the same writes
// to a pseudo-terminal whose far side is drained; its CPU is what those writes cost at least.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QAccessible>
#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/MessageBox.h"
#include "app/UpgradeDlg.h"
#include "tests/bench/WriteFloor.h"
#include "tests/support/ModalWatcher.h"
#include "tests/support/WindowFixture.h"
#include "upgrade/FirmwareFrame.h"

using Clock = std::chrono::steady_clock;

namespace {

struct Head {
    pid_t pid = -1;
    int out = -1;
    std::string path;
};

Head SpawnHead(std::size_t imageSize, bool paced) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {};
    Head head;
    head.pid = fork();
    if (head.pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        const std::string size = std::to_string(imageSize);
        std::vector<const char*> args = {KAVLET_HEAD_PATH, "--loader", "--quiet", "--expect-size",
                                         size.c_str()};
        if (paced) {
            args.push_back("--pace");
            args.push_back("115200");
        }
        args.push_back(nullptr);
        execv(KAVLET_HEAD_PATH, const_cast<char* const*>(args.data()));
        _exit(127);
    }
    close(pipeFds[1]);
    head.out = pipeFds[0];
    std::string line;
    char c;
    while (read(head.out, &c, 1) == 1 && c != '\n') line += c;
    // The first line names the port; keep only the path.
    const auto slash = line.find('/');
    head.path = slash == std::string::npos ? "" : line.substr(slash);
    while (!head.path.empty() && std::isspace(static_cast<unsigned char>(head.path.back())))
        head.path.pop_back();
    return head;
}

std::string StopHead(Head& head) {
    kill(head.pid, SIGINT);
    std::string summary;
    char buffer[4096];
    ssize_t n;
    while ((n = read(head.out, buffer, sizeof buffer)) > 0)
        summary.append(buffer, static_cast<std::size_t>(n));
    waitpid(head.pid, nullptr, 0);
    close(head.out);
    return summary;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

// Set by --accessibility.
bool needBridge = false;
// Cleared by --no-probe: the window's thread then does the tool's work alone, without the
// probe's 200 events a second (and the event loop's wake-ups for them).
bool probeOn = true;

bool RunTransfer(std::size_t imageBytes, bool paced) {
    Head head = SpawnHead(imageBytes, paced);
    if (head.path.empty()) {
        std::printf("could not start %s\n", KAVLET_HEAD_PATH);
        return false;
    }
    const std::string path = head.path;
    std::vector<QString> boxes;
    // The transfer is waited for in a plain event loop, as the window's own would run, with
    // no timer of its own: the first box ends it.
    QEventLoop transferLoop;
    WindowServices services;
    services.openLine = [path](const std::string& name) {
        return name == "COM1" ? OpenPlatformLine(path)
                              : LineOpenResult{nullptr, LineError::FromErrno(ENOENT)};
    };
    services.presenter = [&](const MessageBoxRequest& box) {
        boxes.push_back(box.text);
        transferLoop.quit();
    };

    const auto file = std::filesystem::temp_directory_path() /
                      ("kavlet-bench-" + std::to_string(getpid()) + ".bin");
    {
        std::vector<char> image(imageBytes);
        for (std::size_t i = 0; i < image.size(); ++i)
            image[i] = static_cast<char>(i * 2654435761u >> 24);
        std::ofstream(file, std::ios::binary)
            .write(image.data(), static_cast<std::streamsize>(image.size()));
    }

    auto window = std::make_unique<CUpgradeDlg>(nullptr, services);
    window->OnInitDialog();
    window->show();  // painted as on a screen (offscreen: into memory)
    // The bridge comes up once its D-Bus calls are answered, which this thread's events bring.
    if (needBridge)
        ProcessEventsUntil([] { return QAccessible::isActive(); }, std::chrono::seconds(10));
    const bool bridgeActive = QAccessible::isActive();
    std::printf("\naccessibility bridge: %s (QAccessible::isActive, platform %s)\n",
                bridgeActive ? "active" : "inactive", qPrintable(QGuiApplication::platformName()));
    std::fflush(stdout);  // a script watching the output checks the bridge from outside
    if (needBridge && !bridgeActive) {
        window.reset();
        StopHead(head);
        std::filesystem::remove(file);
        return false;
    }
    window->SetFileChooser([&](QWidget*) { return QString::fromStdString(file.string()); });
    RejectNextModalDialog();  // the device dialog: the head runs its loader already
    window->OnSelectFile();
    window->OnConnect();
    ProcessEventsUntil([&] { return window->startUpgradeButton->isEnabled(); },
                       std::chrono::seconds(5));

    // A probe posts an event to the window every 5 ms and records how late it is handled.
    std::atomic<bool> probing{true};
    std::vector<double> latenciesMs;
    double probeCpu = 0;  // the probe's own thread is the benchmark's, not the tool's
    std::thread probe([&] {
        const double probeCpu0 = bench::ThreadCpuSeconds();
        while (probing && probeOn) {
            const auto posted = Clock::now();
            QMetaObject::invokeMethod(
                window.get(),
                [&latenciesMs, posted] {
                    latenciesMs.push_back(
                        std::chrono::duration<double, std::milli>(Clock::now() - posted).count());
                },
                Qt::QueuedConnection);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        probeCpu = bench::ThreadCpuSeconds() - probeCpu0;
    });

    const double cpu0 = CpuSeconds();
    const double windowCpu0 = bench::ThreadCpuSeconds();  // this thread runs the window
    const auto t0 = Clock::now();
    window->OnStartUpgrade();
    QTimer::singleShot(std::chrono::minutes(20), &transferLoop,
                       &QEventLoop::quit);  // a stuck transfer
    if (boxes.empty()) transferLoop.exec();
    const bool done = !boxes.empty();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const double processCpu = CpuSeconds() - cpu0;
    const double windowCpu = bench::ThreadCpuSeconds() - windowCpu0;
    probing = false;
    probe.join();
    const double cpu = processCpu - probeCpu;
    ProcessEventsFor(std::chrono::milliseconds(20));

    const std::size_t frames = static_cast<std::size_t>(
        TotalBytesToSend(static_cast<std::int32_t>(imageBytes)) / FRAME_SIZE);
    const double frameBytes = double(frames * FRAME_SIZE);
    window.reset();
    // The writes alone, as many bytes as the transfer wrote (at most 256 frames' worth): the
    // median of three runs, since a single one varies by a third on a shared machine.
    const bench::WriteCost writes =
        bench::MedianWriteCost(std::min<std::size_t>(frames, 256) * FRAME_SIZE);
    const double writtenBytes = double(std::min<std::size_t>(frames, 256) * FRAME_SIZE);
    double floor;
    std::string floorText;
    if (paced) {
        floor = frameBytes / 11520.0 + frames * 0.020;
        floorText = "frame bytes / 11,520 B/s + 20 ms a frame";
    } else {
        floor = frameBytes * (writes.seconds / writtenBytes) + frames * 0.020;
        char text[128];
        std::snprintf(text, sizeof text, "writes of 64 bytes, %.3f us a byte + 20 ms a frame",
                      (writes.seconds / writtenBytes) * 1e6);
        floorText = text;
    }
    const double mib = frameBytes / (1024.0 * 1024.0);
    const double writesCpu = (writes.cpu / writtenBytes) * frameBytes;
    const std::string summary = StopHead(head);
    std::filesystem::remove(file);

    std::printf("%s, %zu KiB image, %zu frames\n", paced ? "paced at 115200 baud" : "unpaced",
                imageBytes / 1024, frames);
    std::printf("  result:           %s\n", done && boxes.front() == QStringLiteral("更新成功!")
                                                ? "更新成功!"
                                                : "did not finish");
    std::printf("  total time:       %.2f s\n", seconds);
    std::printf("  floor:            %.2f s (%s)\n", floor, floorText.c_str());
    std::printf("  time / floor:     %.3f%s\n", seconds / floor, paced ? "" : " (target <= 1.05)");
    std::printf(
        "  tool CPU:         %.2f s, %.2f s per MiB sent (target <= 0.5), %.1f%% of one core\n",
        cpu, cpu / mib, 100.0 * cpu / seconds);
    std::printf(
        "    of which the window's thread %.2f s (painting, answers, and the probe's %zu events),\n"
        "    the sender and the receive loop %.2f s (%.2f us per byte sent)\n",
        windowCpu, latenciesMs.size(), cpu - windowCpu, 1e6 * (cpu - windowCpu) / frameBytes);
    std::printf("  writes alone:     %.2f s CPU per MiB (writes of 64 bytes, far side drained)\n",
                writesCpu / mib);
    std::printf("  tool CPU / writes alone: %.2f\n", cpu / writesCpu);
    std::printf("  window event delay: p50 %.2f ms, p99 %.2f ms (%zu samples)\n",
                Percentile(latenciesMs, 0.5), Percentile(latenciesMs, 0.99), latenciesMs.size());
    std::printf("  head: %s", summary.c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    std::size_t pacedKib = 256, unpacedKib = 1024;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--accessibility")) needBridge = true;
        if (!std::strcmp(argv[i], "--no-probe")) probeOn = false;
        if (i + 1 == argc) break;
        if (!std::strcmp(argv[i], "--paced-kib")) pacedKib = std::stoul(argv[++i]);
        if (!std::strcmp(argv[i], "--unpaced-kib")) unpacedKib = std::stoul(argv[++i]);
    }
    if (pacedKib && !RunTransfer(pacedKib * 1024, true)) return 2;
    if (unpacedKib && !RunTransfer(unpacedKib * 1024, false)) return 2;
    return 0;
}
