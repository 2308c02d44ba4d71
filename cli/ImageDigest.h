// The SHA-256 of an image, as 64 lower-case hex digits. One implementation a platform:
// ImageDigestNettle.cpp (nettle), ImageDigestWin32.cpp (Windows' bcrypt).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace flash {

std::string Sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace flash
