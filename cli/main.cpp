// kavlet-flash: loads firmware into camera heads from the command line (see --help).
#include <cstdio>
#include <string>
#include <vector>

#include "cli/FlashEvents.h"
#include "cli/FlashOptions.h"
#include "cli/FlashRun.h"
#include "cli/InterruptSource.h"
#include "cli/PlanRun.h"
#include "cli/Platform.h"
#include "cli/PortReport.h"

namespace {

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
    flash::InterruptSource* const interrupts = flash::InterruptSource::Catch();
    if (!interrupts) {
        std::perror("kavlet-flash: signals cannot be caught");
        return flash::kExitPort;
    }
    flash::RunIo io;
    io.terminal = flash::IsTerminal(stdout);
    io.interrupts = interrupts;
    if (!options.plan.empty()) return flash::RunPlan(options, std::move(io));
    return flash::RunFlash(options, std::move(io));
}
