// kavlet-head: a virtual camera head on a pseudo-terminal (or a serial device), for trying the
// tool without hardware. See --help and README.md.
#include <signal.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "tools/head/HeadCommandLine.h"
#include "tools/head/VirtualHead.h"

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
    const timespec tick{0, 250'000'000};
    while (virtualHead->IsRunning()) {
        const int sig = sigtimedwait(&stopSignals, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM) break;
    }
    virtualHead->Stop();

    const head::HeadReport report = virtualHead->Report();
    std::printf("kavlet-head: summary\n");
    const std::string summary = head::SummaryText(report);
    for (std::size_t at = 0, end; at < summary.size(); at = end + 1) {
        end = summary.find('\n', at);
        if (end == std::string::npos) end = summary.size();
        std::printf("  %s\n", summary.substr(at, end - at).c_str());
    }
    std::fflush(stdout);
    return report.lineError.empty() ? 0 : 1;
}
