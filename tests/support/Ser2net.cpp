#include "tests/support/Ser2net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace {

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A port of 127.0.0.1 nobody listens on now (one the system hands out: never 2000).
std::uint16_t FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

bool TakesConnections(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port);
    const bool up = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return up;
}

}  // namespace

bool Ser2net::Installed() {
    return access(SER2NET_PATH, X_OK) == 0;
}

Ser2net::Ser2net(const std::string& device, const std::string& configPath, bool charDelay) {
    port_ = FreePort();
    if (port_ == 0) {
        error_ = "no free port on 127.0.0.1";
        return;
    }
    std::ofstream(configPath) << "connection: &head\n"
                              << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port_ << "\n"
                              << "  connector: serialdev," << device << ",115200n81,local\n";
    if (!charDelay)
        std::ofstream(configPath, std::ios::app) << "  options:\n    chardelay: false\n";
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that dies takes its server along
        if (getppid() != parent) _exit(127);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execl(SER2NET_PATH, "ser2net", "-n", "-d", "-u", "-c", configPath.c_str(), nullptr);
        _exit(127);
    }
    if (pid_ < 0) {
        error_ = "fork failed";
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!TakesConnections(port_)) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "ser2net ended at once (exit status " + std::to_string(status) + ")";
            return;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            Stop();
            error_ = "ser2net did not take connections within 20 s";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Ser2net::~Ser2net() {
    Stop();
}

std::string Ser2net::Rfc2217Name() const {
    return "rfc2217://127.0.0.1:" + std::to_string(port_);
}

void Ser2net::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}
