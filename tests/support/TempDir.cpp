#include "tests/support/TempDir.h"

#include <unistd.h>

#include <atomic>

TempDir::TempDir(const std::string& prefix) {
    static std::atomic<unsigned> count{0};
    path_ = std::filesystem::temp_directory_path() /
            (prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(++count));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}
