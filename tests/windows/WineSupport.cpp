#include "tests/windows/WineSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace wine_test {

namespace {
// The build's own prefix and shim unless the environment names others; set before main, while
// the test program has no other thread, and inherited by every Windows program it starts.
const bool environmentSet = [] {
    setenv("WINEPREFIX", KAVLET_WINE_PREFIX, 0);
    setenv("KAVLET_WINE_SHIM", KAVLET_WINE_SHIM, 0);
    return true;
}();
}  // namespace

std::string Prefix() {
    const char* prefix = std::getenv("WINEPREFIX");
    return prefix ? prefix : "";
}

ComLink::ComLink(const std::string& slavePath) {
    const std::string pts = "/dev/pts/";
    if (slavePath.rfind(pts, 0) != 0 || Prefix().empty()) return;
    // The prefix first: the wrapper makes it anew when it is not complete, links and all.
    if (!std::filesystem::exists(Prefix() + "/.kavlet-ready") &&
        std::system((std::string(KAVLET_WINE_RUN) + " --prepare").c_str()) != 0)
        return;
    const unsigned long number = std::stoul(slavePath.substr(pts.size()));
    name_ = "COM" + std::to_string(10 + number);
    linkPath_ = Prefix() + "/dosdevices/com" + std::to_string(10 + number);
    std::error_code error;
    std::filesystem::create_directories(Prefix() + "/dosdevices", error);
    std::filesystem::remove(linkPath_, error);  // one a test that ended early left behind
    std::filesystem::create_symlink(slavePath, linkPath_, error);
    struct stat link {};
    made_ = !error && lstat(linkPath_.c_str(), &link) == 0;
    inode_ = link.st_ino;
}

ComLink::~ComLink() {
    // Only the link this object made: once its pseudo-terminal is gone, another test may have
    // the same number, and a link of the same name to it.
    struct stat link {};
    if (made_ && lstat(linkPath_.c_str(), &link) == 0 && link.st_ino == inode_)
        unlink(linkPath_.c_str());
}

WineProgram::WineProgram(const std::string& exePath, const std::vector<std::string>& arguments) {
    // A program that has gone makes a write to it fail (Send returns false), and the test says
    // so, rather than be ended by SIGPIPE without a word.
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return;
    }
    std::vector<std::string> all = {KAVLET_WINE_RUN, exePath};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;  // made before fork: other threads may hold the allocator's lock
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        execv(KAVLET_WINE_RUN, argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    if (pid_ < 0) {
        close(out[0]);
        return;
    }
    reader_ = std::thread([this, fd = out[0]] { Read(fd); });
}

WineProgram::~WineProgram() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (input_ >= 0) close(input_);
    if (reader_.joinable()) reader_.join();
}

void WineProgram::Read(int fd) {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            pending.erase(0, end + 1);
            std::lock_guard lock(mutex_);
            lines_.push_back(std::move(line));
            changed_.notify_all();
        }
    }
    close(fd);
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
}

bool WineProgram::Send(const std::string& line) {
    if (input_ < 0) return false;
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(input_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::string> WineProgram::NextLine(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [this] { return !lines_.empty() || ended_; }) ||
        lines_.empty())
        return std::nullopt;
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    return line;
}

std::optional<std::string> WineProgram::Ask(const std::string& command,
                                            std::chrono::milliseconds timeout) {
    if (!Send(command)) return std::nullopt;
    return NextLine(timeout);
}

bool WineProgram::HasLine() {
    std::lock_guard lock(mutex_);
    return !lines_.empty();
}

int WineProgram::Wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    if (input_ >= 0) close(input_);
    input_ = -1;
    // waitpid blocks on a thread of its own, so the time limit is a wait on a condition.
    int status = 0;
    bool exited = false;
    std::thread waiter([&] {
        waitpid(pid_, &status, 0);
        std::lock_guard lock(mutex_);
        exited = true;
        changed_.notify_all();
    });
    bool inTime;
    {
        std::unique_lock lock(mutex_);
        inTime = changed_.wait_for(lock, timeout, [&] { return exited; });
    }
    if (!inTime) kill(pid_, SIGKILL);
    waiter.join();
    pid_ = -1;
    return inTime && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace wine_test
