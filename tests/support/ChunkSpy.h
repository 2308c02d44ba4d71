// Records the chunks of received bytes the engine acts on, in order.
#pragma once

#include <cstdint>
#include <vector>

#include "upgrade/UpgradeEngine.h"

class ChunkSpy {
  public:
    std::vector<std::vector<std::uint8_t>> chunks;

    void Watch(UpgradeEngine& engine) {
        engine.SetChunkWatcher([this](std::span<const std::uint8_t> chunk) {
            chunks.emplace_back(chunk.begin(), chunk.end());
        });
    }

    std::size_t TotalBytes() const {
        std::size_t n = 0;
        for (const auto& c : chunks) n += c.size();
        return n;
    }
};
