// kavlet-flash: loads firmware into camera heads from the command line (see --help).
#ifdef _WIN32
#include <io.h>
#include <signal.h>
#include <windows.h>

#include <atomic>
#else
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/FlashEvents.h"
#include "cli/FlashOptions.h"
#include "cli/FlashRun.h"
#include "cli/PlanRun.h"
#include "cli/PortReport.h"

namespace {

#ifdef _WIN32
// Windows has no SIGINT or SIGTERM to catch from outside: the console's Ctrl events stand for
// them. The run's main loop waits for the event; the first event's number counts.
HANDLE interruptEvent = nullptr;
std::atomic<int> interruptSignal{0};

BOOL WINAPI OnConsoleEvent(DWORD type) {
    // Ctrl-C and Ctrl-Break: SIGINT; the console closed: as SIGHUP; logoff, shutdown: SIGTERM.
    int number = SIGTERM;
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) number = SIGINT;
    if (type == CTRL_CLOSE_EVENT) number = flash::kConsoleClosed;
    int none = 0;
    interruptSignal.compare_exchange_strong(none, number);
    SetEvent(interruptEvent);
    return TRUE;
}

bool CatchSignals() {
    interruptEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return interruptEvent && SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}
#else
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
    // The terminal closed (SIGHUP), Ctrl-C, Ctrl-\ (SIGQUIT) and SIGTERM all stop the run alike.
    for (const int number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
        if (sigaction(number, &action, nullptr) != 0) return false;
    signal(SIGPIPE, SIG_IGN);  // a closed output pipe shows as a failed write, not death
    return true;
}
#endif

// The status of a mode that only writes to stdout: kExitOutput, told, when that failed.
int Written() {
    const int error = flash::Flush(stdout);
    if (!error) return flash::kExitDone;
    flash::WriteErrorLine(stderr, flash::OutputSentence(error));
    return flash::kExitOutput;
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
            return Written();
        case flash::Mode::Version:
            std::fputs(flash::VersionText().c_str(), stdout);
            return Written();
        case flash::Mode::ListPorts: {
            const auto ports = ListPorts();
            std::fputs((options.json ? flash::PortsJson(ports) : flash::PortsText(ports)).c_str(),
                       stdout);
            return Written();
        }
        case flash::Mode::Flash:
            break;
    }
    if (!CatchSignals()) {
        std::perror("kavlet-flash: signals cannot be caught");
        return flash::kExitPort;
    }
    flash::RunIo io;
#ifdef _WIN32
    io.terminal = _isatty(_fileno(stdout)) != 0;
    io.interruptEvent = interruptEvent;
    io.interruptSignal = &interruptSignal;
#else
    io.terminal = isatty(STDOUT_FILENO) == 1;
    io.interruptFd = signalPipe[0];
#endif
    if (!options.plan.empty()) return flash::RunPlan(options, std::move(io));
    return flash::RunFlash(options, std::move(io));
}
