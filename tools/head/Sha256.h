// SHA-256 (FIPS 180-4), small and self-contained, for the fingerprint of a received image.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace head {

class Sha256 {
  public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    void Update(std::span<const std::uint8_t> bytes);
    // Pads and returns the digest; the object must not be updated afterwards.
    Digest Finish();

    static Digest Of(std::span<const std::uint8_t> bytes);
    // 64 lower-case hex digits.
    static std::string Hex(const Digest& digest);
    static std::string HexOf(std::span<const std::uint8_t> bytes) { return Hex(Of(bytes)); }

  private:
    void Compress(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> block_{};
    std::size_t blockUsed_ = 0;
    std::uint64_t totalBytes_ = 0;
};

}  // namespace head
