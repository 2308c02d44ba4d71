#include "tests/support/TestImages.h"

std::vector<std::uint8_t> RandomImage(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<std::uint8_t> image(size);
    for (auto& b : image) b = static_cast<std::uint8_t>(random());
    return image;
}

std::vector<std::uint8_t> RandomLineBytes(std::mt19937& random, std::size_t size, unsigned oneIn) {
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes) {
        const unsigned pick = random() % oneIn;
        b = pick == 0   ? 0x73
            : pick == 1 ? 0x3F
            : pick == 2 ? 0xFF
            : pick == 3 ? 0xA0
                        : static_cast<std::uint8_t>(random());
    }
    return bytes;
}
