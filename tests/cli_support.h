// Shared by the kavlet-flash tests: the built program run as a child process with its output
// read through pipes, and a JSON reader for its --json lines.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/WaitBreaker.h"

namespace cli_test {

struct ChildResult {
    int exitStatus = -1;  // -1 when it did not exit by itself
    std::string out;
    std::string err;
};

// kavlet-flash started with arguments; stdout and stderr are pipes read on a thread of its
// own, so the child never blocks on a full pipe. With outPath stdout is that file instead.
class Child {
  public:
    explicit Child(const std::vector<std::string>& arguments, const char* outPath = nullptr) {
        int outPipe[2], errPipe[2];
        if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return;
        std::vector<std::string> all = {kProgram};
#ifdef KAVLET_FLASH_LAUNCHER
        all.push_back(KAVLET_FLASH_PATH);
#endif
        all.insert(all.end(), arguments.begin(), arguments.end());
        // Made before fork: the test's threads may hold the allocator's lock at that moment.
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(outPath ? open(outPath, O_WRONLY) : outPipe[1], STDOUT_FILENO);
            dup2(errPipe[1], STDERR_FILENO);
            execv(kProgram, argv.data());
            _exit(127);
        }
        close(outPipe[1]);
        close(errPipe[1]);
        reader_ = std::thread([this, o = outPipe[0], e = errPipe[0]] { Read(o, e); });
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable()) reader_.join();
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const {
        return pid_ > 0;
    }
    void Signal(int number) const {
        kill(pid_, number);
    }

    // Waits for the child to end (killing it after timeout, or as soon as a wait breaker finds
    // the run decided: see WaitBreaker) and for its output: its pipes reach their end when it
    // exits.
    ChildResult Wait(std::chrono::milliseconds timeout) {
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
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, UnixLines(out_), UnixLines(err_)};
    }

  private:
#ifdef KAVLET_FLASH_LAUNCHER
    // The program is started by a launcher (Wine's wrapper for the Windows build).
    static constexpr const char* kProgram = KAVLET_FLASH_LAUNCHER;
    // A Windows program ends its lines with CR LF; a CR anywhere else stays to be found.
    static std::string UnixLines(std::string text) {
        for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
        return text;
    }
#else
    static constexpr const char* kProgram = KAVLET_FLASH_PATH;
    static std::string UnixLines(std::string text) {
        return text;
    }
#endif

    void Read(int outFd, int errFd) {
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

    pid_t pid_ = -1;
    bool reaped_ = false;
    std::mutex mutex_;
    std::condition_variable outputEnded_;
    bool readerDone_ = false;
    std::string out_, err_;  // written by the reader until it ends (joined before reading)
    std::thread reader_;
};

inline ChildResult RunFlash(const std::vector<std::string>& arguments,
                            std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    Child child(arguments);
    if (!child.Started()) return {};
    return child.Wait(timeout);
}

// Splits text into its lines, without the line ends.
inline std::vector<std::string> Lines(const std::string& text) {
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

// A strict reader of one JSON value, on nlohmann-json. Object: the top-level members, each as
// its decoded string or, for another value, its JSON text (compact, members in their order).
class JsonReader {
  public:
    using Json = nlohmann::ordered_json;

    // The members of the object that is the whole text; empty when the text is not exactly one
    // well-formed JSON object in UTF-8, or an object in it has a key twice.
    static std::optional<std::map<std::string, std::string>> Object(std::string_view text) {
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
    // The decoded string that is the whole text; empty when it is not one.
    static std::optional<std::string> String(std::string_view text) {
        const Json value = Json::parse(text, nullptr, false);
        if (!value.is_string()) return std::nullopt;
        return value.get<std::string>();
    }
};

// The first byte of text that is a control character other than a line end, if any.
inline std::optional<unsigned> ControlCharacter(const std::string& text) {
    for (const unsigned char c : text)
        if ((c < 0x20 && c != '\n') || c == 0x7F) return c;
    return std::nullopt;
}

}  // namespace cli_test
