// kavlet-flash run as a child process for the benchmarks: from its start to its exit, with what
// wait4 says it cost (CPU, user and system; peak memory); its output goes to a file read
// afterwards.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace bench {

struct FlashChild {
    int exitStatus = -1;
    double seconds = 0;
    double cpu = 0;  // the child's, user and system
    long maxRssKib = 0;
    std::string output;
};

inline double SecondsOf(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Runs KAVLET_FLASH_PATH with arguments, its standard output and error into the file log.
inline FlashChild RunFlashChild(const std::vector<std::string>& arguments, const std::string& log) {
    std::vector<std::string> all = {KAVLET_FLASH_PATH};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    FlashChild run;
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) return run;
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        execv(KAVLET_FLASH_PATH, argv.data());
        _exit(127);
    }
    close(out);
    if (pid < 0) return run;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    run.cpu = SecondsOf(usage.ru_utime) + SecondsOf(usage.ru_stime);
    run.maxRssKib = usage.ru_maxrss;
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(log);
    run.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return run;
}

}  // namespace bench
