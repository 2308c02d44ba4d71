// SHA-256 through nettle (Debian: nettle-dev), for the fingerprint of a received image.
#pragma once

#include <nettle/sha2.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace head {

class Sha256 {
  public:
    using Digest = std::array<std::uint8_t, SHA256_DIGEST_SIZE>;

    Sha256();
    void Update(std::span<const std::uint8_t> bytes);
    // Returns the digest; the object must not be updated afterwards.
    Digest Finish();

    static Digest Of(std::span<const std::uint8_t> bytes);
    // 64 lower-case hex digits.
    static std::string Hex(const Digest& digest);
    static std::string HexOf(std::span<const std::uint8_t> bytes) { return Hex(Of(bytes)); }

  private:
    sha256_ctx context_;
};

}  // namespace head
