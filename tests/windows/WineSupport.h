// For the Linux-side tests of the Windows build: Windows programs run under Wine through
// scripts/wine-run.sh (which keeps Wine away from this machine's own serial ports), and COM
// ports of the Wine prefix linked to pseudo-terminals that the tests hold.
//
// The prefix is the one WINEPREFIX names, and the shim preloaded into Wine the one
// KAVLET_WINE_SHIM names; where they are not set, the build's own (compiled in, as is the
// wrapper's path, KAVLET_WINE_RUN).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace wine_test {

// The Wine prefix the tests use, from WINEPREFIX; empty when it is not set. The prefix is made
// (scripts/wine-run.sh --prepare) before the first COM link goes into it.
std::string Prefix();

// A COM port of the prefix linked to a pseudo-terminal's slave side while the object lives:
// COM<10 + n> for /dev/pts/n, so ports run by tests at the same time never share a name, and
// every name is one that needs the \\.\ form on Windows.
class ComLink {
  public:
    explicit ComLink(const std::string& slavePath);
    ~ComLink();
    ComLink(const ComLink&) = delete;
    ComLink& operator=(const ComLink&) = delete;

    bool Made() const { return made_; }
    const std::string& Name() const { return name_; }  // "COM15"

  private:
    std::string name_;
    std::string linkPath_;
    bool made_ = false;
    ino_t inode_ = 0;  // of the link made, which the destructor removes only if still there
};

// A Windows program under Wine whose standard input the test writes and whose standard output
// it reads line by line (without the CR of Windows line ends). Standard error goes to the
// test's own.
class WineProgram {
  public:
    WineProgram(const std::string& exePath, const std::vector<std::string>& arguments);
    ~WineProgram();  // kills the program if it is still running
    WineProgram(const WineProgram&) = delete;
    WineProgram& operator=(const WineProgram&) = delete;

    bool Started() const { return pid_ > 0; }
    bool Send(const std::string& line);
    // The next line of output, or nullopt when none came within timeout or the output ended.
    std::optional<std::string> NextLine(std::chrono::milliseconds timeout);
    // Sends command and returns the next line of output.
    std::optional<std::string> Ask(const std::string& command,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // True when a line has come that was not read yet.
    bool HasLine();
    // Closes standard input, then waits for the exit (killing the program after timeout).
    // The exit status, or -1 when it had to be killed or died of a signal.
    int Wait(std::chrono::milliseconds timeout);

  private:
    void Read(int fd);

    pid_t pid_ = -1;
    int input_ = -1;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> lines_;
    bool ended_ = false;
    std::thread reader_;
};

}  // namespace wine_test
