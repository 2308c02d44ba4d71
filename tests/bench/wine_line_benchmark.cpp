// Benchmark (prints figures; not a test): the Windows serial line under Wine, on a
// pseudo-terminal. Run from a build configured with KAVLET_WINDOWS_BUILD:
//   build-test/tests/wine_line_benchmark
// Figures: the start of a Windows program (a wineserver already running), one frame's 4107
// bytes as 4107 one-byte writes and as one write, and how soon a waiting program learns of a
// byte from the head.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/PseudoTerminal.h"
#include "tests/windows/WineSupport.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRounds = 5;
constexpr std::size_t kFrame = 4107;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void Print(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%-44s median %8.2f ms   min %8.2f   max %8.2f\n", what, ms[ms.size() / 2],
                ms.front(), ms.back());
}

bool Expect(const std::optional<std::string>& got, const std::string& wanted) {
    if (got && got->rfind(wanted, 0) == 0) return true;
    std::fprintf(stderr, "wine_line_benchmark: wanted '%s', got '%s'\n", wanted.c_str(),
                 got.value_or("(nothing)").c_str());
    return false;
}

}  // namespace

int main() {
    PseudoTerminal pty;
    wine_test::ComLink link(pty.SlavePath());
    if (!pty.IsOpen() || !link.Made()) {
        std::fprintf(stderr, "wine_line_benchmark: no pseudo-terminal or COM link\n");
        return 1;
    }
    std::vector<double> start, oneByteWrites, oneWrite, roundTrip;
    for (int round = 0; round < kRounds; ++round) {
        const auto begun = Clock::now();
        wine_test::WineProgram probe(KAVLET_LINE_PROBE_PATH, {});
        if (!Expect(probe.Ask("open " + link.Name()), "opened")) return 1;
        start.push_back(Ms(Clock::now() - begun));
        if (!Expect(probe.Ask("settings 115200"), "settings ok")) return 1;

        // The probe times its own writes; the far side reads them meanwhile.
        if (!probe.Send("write-bytes " + std::to_string(kFrame))) return 1;
        if (pty.Read(kFrame, 30s).size() != kFrame) return 1;
        const auto answer = probe.NextLine(30s);
        if (!Expect(answer, "written " + std::to_string(kFrame))) return 1;
        oneByteWrites.push_back(std::stod(answer->substr(answer->rfind(' ') + 1)));

        auto sent = Clock::now();
        if (!Expect(probe.Ask("write " + std::to_string(kFrame)), "writing")) return 1;
        if (pty.Read(kFrame, 30s).size() != kFrame) return 1;
        if (!Expect(probe.NextLine(30s), "written " + std::to_string(kFrame))) return 1;
        oneWrite.push_back(Ms(Clock::now() - sent));

        // The probe waits in WaitCommEvent first (its "queued" answer can only follow the byte).
        if (!probe.Send("queued 1")) return 1;
        if (pty.ReadUntilQuiet(50ms).size() != 0) return 1;
        sent = Clock::now();
        if (!pty.Write({0x84})) return 1;
        if (!Expect(probe.NextLine(30s), "queued 1")) return 1;
        roundTrip.push_back(Ms(Clock::now() - sent));

        probe.Send("quit");
        probe.Wait(30s);
    }
    std::printf("The Windows line under Wine, %d rounds, 115200 baud on a pseudo-terminal:\n",
                kRounds);
    Print("program start, port opened", start);
    Print("4107 one-byte writes (timed in the program)", oneByteWrites);
    Print("one 4107-byte write, until read here", oneWrite);
    Print("a byte from the head until the wait ends", roundTrip);
    return 0;
}
