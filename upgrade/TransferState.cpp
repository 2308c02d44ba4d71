#include "upgrade/TransferState.h"

FirmwareStream OpenFirmwareStream(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return nullptr;
    return FirmwareStream(file, [](std::FILE* f) { std::fclose(f); });
}
