#include "tests/windows/WineDesktop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace wine_test {

namespace {

// Runs the wrapper with these arguments, every standard stream on /dev/null.
pid_t StartWrapper(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), KAVLET_WINE_RUN);
    std::vector<char*> argv;  // made before fork
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        for (int fd = 0; fd <= 2; ++fd) dup2(null, fd);
        execv(KAVLET_WINE_RUN, argv.data());
        _exit(127);
    }
    return pid;
}

constexpr std::chrono::minutes kStartLimit{2};

}  // namespace

WineDesktop::WineDesktop(const std::string& preparePath) {
    int display[2];
    if (pipe2(display, O_CLOEXEC) != 0) return;
    const std::string fd = std::to_string(display[1]);
    server_ = fork();
    if (server_ == 0) {
        const int null = open("/dev/null", O_RDWR);
        for (int i = 0; i <= 2; ++i) dup2(null, i);
        fcntl(display[1], F_SETFD, 0);
        // -noreset: the server stays as it is while programs come and go.
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-noreset",
               "-nolisten", "tcp", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(display[1]);
    std::string number;
    pollfd ready{display[0], POLLIN, 0};
    char c;
    while (poll(&ready, 1, static_cast<int>(std::chrono::milliseconds(kStartLimit).count())) > 0 &&
           read(display[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(display[0]);
    if (server_ < 0 || number.empty()) return;
    setenv("DISPLAY", (":" + number).c_str(), 1);
    Wait(StartWrapper({"--stop"}), kStartLimit);
    ready_ = Wait(StartWrapper({preparePath, "--prepare"}), kStartLimit) == 0;
    // A new session, which reads the settings from its start (the desktop among them).
    Wait(StartWrapper({"--stop"}), kStartLimit);
}

WineDesktop::~WineDesktop() {
    Wait(StartWrapper({"--stop"}), kStartLimit);
    if (server_ > 0) {
        kill(server_, SIGTERM);
        waitpid(server_, nullptr, 0);
    }
}

pid_t WineDesktop::StartQuiet(const std::string& exePath,
                              const std::vector<std::string>& arguments) {
    std::vector<std::string> all = {exePath};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return StartWrapper(all);
}

int WineDesktop::Wait(pid_t program, std::chrono::milliseconds timeout) {
    if (program <= 0) return -1;
    const auto end = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(program, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(program, SIGKILL);
            waitpid(program, nullptr, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace wine_test
