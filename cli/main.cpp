// kavlet-flash: loads firmware into camera heads from the command line (see --help).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/FlashOptions.h"
#include "cli/FlashRun.h"
#include "cli/PortList.h"

namespace {

int signalPipe[2] = {-1, -1};

// Async-signal-safe: the run's main loop reads the number from the pipe.
void OnSignal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const auto written = write(signalPipe[1], &byte, 1);
    errno = saved;
}

bool CatchSignals() {
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0)
        return false;
    signal(SIGPIPE, SIG_IGN);  // a closed output pipe shows as a failed write, not death
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const flash::ParsedArguments parsed = flash::ParseArguments(arguments);
    if (!parsed.options) {
        std::fprintf(stderr, "kavlet-flash: %s\n", parsed.error.c_str());
        return flash::kExitUsage;
    }
    const flash::FlashOptions& options = *parsed.options;
    switch (options.mode) {
        case flash::Mode::Help:
            std::fputs(flash::HelpText().c_str(), stdout);
            return flash::kExitDone;
        case flash::Mode::Version:
            std::fputs(flash::VersionText().c_str(), stdout);
            return flash::kExitDone;
        case flash::Mode::ListPorts: {
            const auto ports = flash::ListPorts();
            std::fputs((options.json ? flash::PortsJson(ports) : flash::PortsText(ports)).c_str(),
                       stdout);
            return flash::kExitDone;
        }
        case flash::Mode::Flash:
            break;
    }
    if (!CatchSignals()) {
        std::perror("kavlet-flash: signals cannot be caught");
        return flash::kExitPort;
    }
    flash::RunIo io;
    io.terminal = isatty(STDOUT_FILENO) == 1;
    io.interruptFd = signalPipe[0];
    return flash::RunFlash(options, std::move(io));
}
