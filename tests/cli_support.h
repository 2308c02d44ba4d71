// Shared by the kavlet-flash tests: the built program run as a child process with its output
// read through pipes, and a JSON reader for its --json lines. Compiled once (cli_support.cpp),
// not in every test program: pipes, threads and the JSON parser are heavy to compile.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace cli_test {

struct ChildResult {
    int exitStatus = -1;  // -1 when it did not exit by itself
    std::string out;
    std::string err;
};

// The program the tests run: kavlet-flash itself, or the Windows build through a launcher
// (Wine's wrapper), whose lines end in CR LF.
struct Program {
    std::string launcher;  // empty: the program is started directly
    std::string path;
};

// A program started with arguments; stdout and stderr are pipes read on a thread of its own, so
// the child never blocks on a full pipe. With outPath stdout is that file instead.
class Child {
  public:
    Child(const Program& program, const std::vector<std::string>& arguments,
          const char* outPath = nullptr);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return pid_ > 0; }
    void Signal(int number) const;

    // Waits for the child to end (killing it after timeout, or as soon as a wait breaker finds
    // the run decided: see WaitBreaker) and for its output: its pipes reach their end when it
    // exits.
    ChildResult Wait(std::chrono::milliseconds timeout);

  private:
    void Read(int outFd, int errFd);

    bool windowsLines_ = false;  // a Windows program ends its lines with CR LF
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::mutex mutex_;
    std::condition_variable outputEnded_;
    bool readerDone_ = false;
    std::string out_, err_;  // written by the reader until it ends (joined before reading)
    std::thread reader_;
};

// Splits text into its lines, without the line ends.
std::vector<std::string> Lines(const std::string& text);

// A strict reader of one JSON value, on nlohmann-json. Object: the top-level members, each as
// its decoded string or, for another value, its JSON text (compact, members in their order).
class JsonReader {
  public:
    // The members of the object that is the whole text; empty when the text is not exactly one
    // well-formed JSON object in UTF-8, or an object in it has a key twice.
    static std::optional<std::map<std::string, std::string>> Object(std::string_view text);
    // The decoded string that is the whole text; empty when it is not one.
    static std::optional<std::string> String(std::string_view text);
};

// The first byte of text that is a control character other than a line end, if any.
std::optional<unsigned> ControlCharacter(const std::string& text);

// The program the including test file was built for: KAVLET_FLASH_PATH, started through
// KAVLET_FLASH_LAUNCHER when that is defined.
#ifdef KAVLET_FLASH_PATH
namespace {
inline Program Flash() {
#ifdef KAVLET_FLASH_LAUNCHER
    return {KAVLET_FLASH_LAUNCHER, KAVLET_FLASH_PATH};
#else
    return {"", KAVLET_FLASH_PATH};
#endif
}

// kavlet-flash started with arguments (see Child).
inline Child StartFlash(const std::vector<std::string>& arguments, const char* outPath = nullptr) {
    return Child(Flash(), arguments, outPath);
}

// kavlet-flash run to its end, or killed after timeout.
inline ChildResult RunFlash(const std::vector<std::string>& arguments,
                            std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    Child child(Flash(), arguments);
    if (!child.Started()) return {};
    return child.Wait(timeout);
}
}  // namespace
#endif

}  // namespace cli_test
