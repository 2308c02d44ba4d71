// kavlet-head: a virtual camera head on a pseudo-terminal (or a serial device), for trying the
// tool without hardware. See --help and README.md.
#include <signal.h>

#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "tools/head/HeadCommandLine.h"
#include "tools/head/VirtualBus.h"
#include "tools/head/VirtualHead.h"

namespace {

// Waits for Ctrl-C (or SIGTERM) while isRunning holds.
void WaitForStop(const sigset_t& stopSignals, const std::function<bool()>& isRunning) {
    const timespec tick{0, 250'000'000};
    while (isRunning()) {
        const int sig = sigtimedwait(&stopSignals, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM) break;
    }
}

void PrintIndented(const std::string& text) {
    for (std::size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::printf("  %s\n", text.substr(at, end - at).c_str());
    }
}

// Several heads on one pseudo-terminal (--bus).
int RunBus(head::HeadCommandLine& line, const sigset_t& stopSignals) {
    for (head::HeadOptions& options : line.bus) {
        if (line.quiet) continue;
        options.log = [prefix = "head " + std::to_string(options.address) +
                                ": "](const std::string& text) {
            std::printf("%s%s\n", prefix.c_str(), text.c_str());
            std::fflush(stdout);
        };
    }
    std::string error;
    auto bus = head::VirtualBus::CreatePty(line.bus, &error);
    if (!bus) {
        std::fprintf(stderr, "kavlet-head: %s\n", error.c_str());
        return 1;
    }
    std::printf("kavlet-head: port %s, %zu heads on one line\n", bus->SlavePath().c_str(),
                bus->Addresses().size());
    std::printf("kavlet-head: type that path into Kavlet's port box; Ctrl-C ends the heads\n");
    std::fflush(stdout);

    bus->Start();
    WaitForStop(stopSignals, [&] { return bus->IsRunning(); });
    bus->Stop();

    std::printf("kavlet-head: summary\n");
    PrintIndented(bus->SummaryText());
    std::fflush(stdout);
    return bus->Report(bus->Addresses().front()).lineError.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    head::HeadCommandLine line;
    std::string error;
    if (!head::ParseHeadCommandLine(std::vector<std::string>(argv + 1, argv + argc), &line,
                                    &error)) {
        std::fprintf(stderr, "kavlet-head: %s\nTry kavlet-head --help.\n", error.c_str());
        return 2;
    }
    if (line.help) {
        std::fputs(head::HeadUsage().c_str(), stdout);
        return 0;
    }

    // SIGINT and SIGTERM are taken by sigtimedwait below; blocked before the head's thread
    // starts, so that thread inherits the mask and never sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    if (!line.bus.empty()) return RunBus(line, stopSignals);

    if (!line.quiet) {
        line.options.log = [](const std::string& text) {
            std::printf("%s\n", text.c_str());
            std::fflush(stdout);
        };
    }
    auto virtualHead = line.attachPath.empty()
                           ? head::VirtualHead::CreatePty(line.options, &error)
                           : head::VirtualHead::Attach(line.attachPath, line.options, &error);
    if (!virtualHead) {
        std::fprintf(stderr, "kavlet-head: %s\n", error.c_str());
        return 1;
    }
    std::printf("kavlet-head: port %s\n", virtualHead->SlavePath().c_str());
    if (virtualHead->OnPseudoTerminal()) {
        std::printf("kavlet-head: type that path into Kavlet's port box; Ctrl-C ends the head\n");
    }
    std::fflush(stdout);

    virtualHead->Start();
    WaitForStop(stopSignals, [&] { return virtualHead->IsRunning(); });
    virtualHead->Stop();

    const head::HeadReport report = virtualHead->Report();
    std::printf("kavlet-head: summary\n");
    PrintIndented(head::SummaryText(report));
    std::fflush(stdout);
    return report.lineError.empty() ? 0 : 1;
}
