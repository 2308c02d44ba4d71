// Firmware images and line bytes for tests, the same for the same seed on every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

// size bytes from a Mersenne twister seeded with seed.
std::vector<std::uint8_t> RandomImage(std::size_t size, std::uint32_t seed);

// size bytes for throwing at a receiver: one in oneIn each of the bytes that start something
// the head knows (73 frame, 3F greeting, FF Pelco-D, A0 Pelco-P), the rest random.
std::vector<std::uint8_t> RandomLineBytes(std::mt19937& random, std::size_t size, unsigned oneIn);
