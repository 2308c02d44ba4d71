#include "tools/head/Sha256.h"

namespace head {

Sha256::Sha256() {
    sha256_init(&context_);
}

void Sha256::Update(std::span<const std::uint8_t> bytes) {
    sha256_update(&context_, bytes.size(), bytes.data());
}

Sha256::Digest Sha256::Finish() {
    Digest digest;
    sha256_digest(&context_, digest.size(), digest.data());
    return digest;
}

Sha256::Digest Sha256::Of(std::span<const std::uint8_t> bytes) {
    Sha256 hash;
    hash.Update(bytes);
    return hash.Finish();
}

std::string Sha256::Hex(const Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * digest.size());
    for (const std::uint8_t byte : digest) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

}  // namespace head
