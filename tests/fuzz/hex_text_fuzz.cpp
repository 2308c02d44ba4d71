// libFuzzer target for the hex text decoder: every input is decoded as it stands and through the
// send path, and both results are compared with the reference model. The destination is sized
// to exactly half the input, so the address sanitizer reports any byte written past that room.
// Then any bytes, written as hex text, must decode back to themselves.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "serial/HexText.h"
#include "tests/protocol_core/HexTextReference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The input in a buffer of exactly its own length, so reads past it are caught too.
    const auto text = std::make_unique<char[]>(size);
    if (size > 0) std::memcpy(text.get(), data, size);
    const std::string_view view(text.get(), size);

    const std::size_t room = size / 2;
    const auto destination = std::make_unique<std::uint8_t[]>(room);
    const std::int32_t count = hex_text::HexTextToBytes(view, destination.get());

    const std::vector<std::uint8_t> expected = hex_text_reference::Decode(view);
    if (count < 0 || std::size_t(count) != expected.size() ||
        !std::equal(expected.begin(), expected.end(), destination.get())) {
        std::abort();
    }

    const hex_text::DecodedText sent = hex_text::DecodeForSending(view);
    const std::vector<std::uint8_t> expectedSent = hex_text_reference::DecodeForSending(view);
    if (sent.count != expectedSent.size() ||
        !std::equal(expectedSent.begin(), expectedSent.end(), sent.bytes.begin())) {
        std::abort();
    }

    // The round trip: the input's bytes written as the sender writes a frame ("%02x " each, the
    // same in capitals as an operator may type) decode for sending to exactly those bytes.
    // As many bytes as a text the send path takes can hold (the trailing space is trimmed).
    const std::size_t n = std::min(size, (hex_text::kMaxTextLength + 1) / 3);
    for (const char* digits : {"0123456789abcdef", "0123456789ABCDEF"}) {
        std::string encoded;
        for (std::size_t i = 0; i < n; ++i) {
            encoded += digits[data[i] >> 4];
            encoded += digits[data[i] & 0x0F];
            encoded += ' ';
        }
        const hex_text::DecodedText back = hex_text::DecodeForSending(encoded);
        if (back.count != n || !std::equal(data, data + n, back.bytes.begin())) std::abort();
    }
    return 0;
}
