// libFuzzer target for the Telnet / COM-PORT reading: the input, after its first two bytes, is
// a server's stream, fed to the codec in pieces whose lengths the first two bytes choose (so a
// command, a subnegotiation or an escaped 0xFF is split anywhere). What the codec hands up is
// compared with a reference that reads the whole stream at once: the data with every escape and
// command taken out, and the COM-PORT answers. Replies are whole negotiations, and no answer
// carries more than a COM-PORT value can hold.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "serial/net/TelnetCodec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void Finding(const char* what) {
    std::fprintf(stderr, "telnet_fuzz finding: %s\n", what);
    std::abort();
}

// The stream read whole: data and COM-PORT answers of complete subnegotiations.
struct Reference {
    Bytes data;
    std::vector<TelnetCodec::ComPortAnswer> answers;
};

Reference Decode(std::span<const std::uint8_t> in) {
    constexpr std::uint8_t kIac = 255;
    Reference out;
    std::size_t i = 0;
    const std::size_t n = in.size();
    while (i < n) {
        if (in[i] != kIac) {
            out.data.push_back(in[i++]);
            continue;
        }
        if (i + 1 >= n) break;
        const std::uint8_t command = in[i + 1];
        if (command == kIac) {
            out.data.push_back(kIac);
            i += 2;
        } else if (command >= TelnetCodec::kWill && command <= TelnetCodec::kDont) {
            i += 3;  // the verb's option byte
        } else if (command == TelnetCodec::kSb) {
            Bytes sub;
            std::size_t j = i + 2;
            bool ended = false;
            while (j < n) {
                if (in[j] != kIac) {
                    sub.push_back(in[j++]);
                } else if (j + 1 < n && in[j + 1] == kIac) {
                    sub.push_back(kIac);
                    j += 2;
                } else {
                    ended = j + 1 < n;  // IAC and any command but IAC ends it
                    j += 2;
                    break;
                }
            }
            if (ended && sub.size() >= 2 && sub[0] == TelnetCodec::kComPort &&
                sub.size() <= 2 + TelnetCodec::kLongestValue)
                out.answers.push_back({sub[1], Bytes(sub.begin() + 2, sub.end())});
            i = j;
        } else {
            i += 2;  // a command without an option
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    std::uint32_t seed = static_cast<std::uint32_t>(data[0] << 8 | data[1]) * 2654435761u + 1;
    const std::span<const std::uint8_t> stream(data + 2, size - 2);

    TelnetCodec codec;
    (void)codec.Offers();
    TelnetCodec::Decoded decoded;
    for (std::size_t at = 0; at < stream.size();) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t piece = std::min<std::size_t>(1 + (seed >> 16) % 9, stream.size() - at);
        const std::size_t repliesBefore = decoded.replies.size();
        codec.Feed(stream.subspan(at, piece), decoded);
        // Each reply is a whole IAC verb option, at most one for each byte read.
        const std::size_t replied = decoded.replies.size() - repliesBefore;
        if (replied % 3 != 0 || replied > 3 * piece) Finding("a reply that is no negotiation");
        for (std::size_t r = repliesBefore; r < decoded.replies.size(); r += 3)
            if (decoded.replies[r] != TelnetCodec::kIac ||
                decoded.replies[r + 1] < TelnetCodec::kWill)
                Finding("a reply that is no negotiation");
        at += piece;
    }

    const Reference expected = Decode(stream);
    if (decoded.data != expected.data) Finding("the data handed up differs from the server's");
    if (decoded.answers != expected.answers) Finding("the COM-PORT answers differ");
    for (const auto& answer : decoded.answers)
        if (answer.value.size() > TelnetCodec::kLongestValue)
            Finding("an answer longer than any COM-PORT value");
    return 0;
}
