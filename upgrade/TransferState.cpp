#include "upgrade/TransferState.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>

FirmwareStream OpenFirmwareStream(const char* path, FirmwareCheck& check, std::int32_t& size) {
    check = FirmwareCheck::Unreadable;
    size = 0;
    // Non-blocking: opening a FIFO for reading would otherwise wait for a writer.
#ifdef _WIN32
    // Windows has no FIFOs to wait for: binary, and not inherited by child processes.
    const int fd = open(path, O_RDONLY | O_BINARY | O_NOINHERIT);
#else
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
#endif
    if (fd < 0) return nullptr;
    struct stat info {};
    // Only a regular file has a size that tells what it holds: /dev/zero and the files under
    // /proc report 0 and FIFOs nothing.
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > std::numeric_limits<std::int32_t>::max()) {
        close(fd);
        return nullptr;
    }
    if (info.st_size == 0) {
        close(fd);
        check = FirmwareCheck::Empty;
        return nullptr;
    }
    // Reads of a regular file never wait: the flag can stay.
    std::FILE* file = fdopen(fd, "rb");
    if (!file) {
        close(fd);
        return nullptr;
    }
    check = FirmwareCheck::Opened;
    size = static_cast<std::int32_t>(info.st_size);
    return FirmwareStream(file, [](std::FILE* f) { std::fclose(f); });
}
