#include <windows.h>
// After windows.h:
#include <bcrypt.h>

#include <cstdio>

#include "cli/ImageDigest.h"

namespace flash {

std::string Sha256Hex(std::span<const std::uint8_t> bytes) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
        return {};
    BCRYPT_HASH_HANDLE hash = nullptr;
    UCHAR digest[32];
    bool made = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
    // BCryptHashData takes at most 4 GiB a call; an image is at most 64 MiB.
    made = made && BCryptHashData(hash, const_cast<PUCHAR>(bytes.data()),
                                  static_cast<ULONG>(bytes.size()), 0) == 0;
    made = made && BCryptFinishHash(hash, digest, sizeof digest, 0) == 0;
    if (hash) BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!made) return {};
    std::string hex;
    char two[3];
    for (const UCHAR b : digest) {
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

}  // namespace flash
