#include "tests/cli_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <set>

#include "tests/support/WaitBreaker.h"

namespace cli_test {

Child::Child(const Program& program, const std::vector<std::string>& arguments, const char* outPath)
    : windowsLines_(!program.launcher.empty()) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return;
    std::vector<std::string> all;
    if (!program.launcher.empty()) all.push_back(program.launcher);
    all.push_back(program.path);
    all.insert(all.end(), arguments.begin(), arguments.end());
    // Made before fork: the test's threads may hold the allocator's lock at that moment.
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(outPath ? open(outPath, O_WRONLY) : outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    reader_ = std::thread([this, o = outPipe[0], e = errPipe[0]] { Read(o, e); });
}

Child::~Child() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
}

void Child::Signal(int number) const {
    kill(pid_, number);
}

namespace {
// A CR before a line end goes; a CR anywhere else stays to be found.
std::string UnixLines(std::string text) {
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    return text;
}
}  // namespace

ChildResult Child::Wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool ended = false;
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            const auto wake = WaitBreaker::WakeBy(deadline);
            ended = outputEnded_.wait_until(lock, wake, [this] { return readerDone_; });
            if (ended || wake == deadline || WaitBreaker::Broken()) break;
        }
    }
    if (!ended) kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    reader_.join();
    if (!ended) return {-1, out_, err_ + "\n[killed: no exit within the time]"};
    const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (!windowsLines_) return {exitStatus, out_, err_};
    return {exitStatus, UnixLines(out_), UnixLines(err_)};
}

void Child::Read(int outFd, int errFd) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    std::lock_guard lock(mutex_);
    readerDone_ = true;
    outputEnded_.notify_all();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

namespace {
using Json = nlohmann::ordered_json;
}

std::optional<std::map<std::string, std::string>> JsonReader::Object(std::string_view text) {
    std::vector<std::set<std::string>> keys;  // of each object open at that point
    bool repeated = false;
    const Json::parser_callback_t check = [&](int, Json::parse_event_t event, Json& parsed) {
        if (event == Json::parse_event_t::object_start) keys.emplace_back();
        if (event == Json::parse_event_t::object_end) keys.pop_back();
        if (event == Json::parse_event_t::key && !keys.back().insert(parsed).second)
            repeated = true;
        return true;
    };
    const Json value = Json::parse(text, check, false);
    if (repeated || !value.is_object()) return std::nullopt;
    std::map<std::string, std::string> members;
    for (const auto& [key, member] : value.items())
        members[key] = member.is_string() ? member.get<std::string>() : member.dump();
    return members;
}

std::optional<std::string> JsonReader::String(std::string_view text) {
    const Json value = Json::parse(text, nullptr, false);
    if (!value.is_string()) return std::nullopt;
    return value.get<std::string>();
}

std::optional<unsigned> ControlCharacter(const std::string& text) {
    for (const unsigned char c : text)
        if ((c < 0x20 && c != '\n') || c == 0x7F) return c;
    return std::nullopt;
}

}  // namespace cli_test
