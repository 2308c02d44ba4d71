// libFuzzer target for kavlet-flash's JSON output: the input is split into a member name and a
// value (the first byte gives the name's length), both any bytes, as a file name, a label or a
// port name may be. The line JsonObject writes must parse back with nlohmann-json (which takes
// only valid UTF-8) to one member whose name and value are the text as given, or, where the
// text is not UTF-8, with each maximal ill-formed part replaced by one U+FFFD (docs/cli.md);
// and the line holds no raw control character or DEL.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "cli/Json.h"

namespace {

[[noreturn]] void Finding(const char* what, std::string_view text) {
    std::fprintf(stderr, "json_fuzz finding: %s: %.*s\n", what, static_cast<int>(text.size()),
                 text.data());
    std::abort();
}

// The text with each maximal part that is not well-formed UTF-8 (Unicode's table of well-formed
// byte sequences) replaced by U+FFFD.
std::string Replaced(std::string_view text) {
    std::string out;
    std::size_t i = 0;
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    while (i < text.size()) {
        const unsigned char b = at(i);
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (b < 0x80) {
            out += static_cast<char>(b);
            ++i;
            continue;
        }
        if (b >= 0xC2 && b <= 0xDF)
            length = 2;
        else if (b >= 0xE0 && b <= 0xEF)
            length = 3;
        else if (b >= 0xF0 && b <= 0xF4)
            length = 4;
        if (b == 0xE0) low = 0xA0;
        if (b == 0xED) high = 0x9F;
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;
        std::size_t good = length == 0 ? 0 : 1;
        while (good > 0 && good < length && i + good < text.size()) {
            const unsigned char c = at(i + good);
            const bool fits = good == 1 ? (c >= low && c <= high) : (c >= 0x80 && c <= 0xBF);
            if (!fits) break;
            ++good;
        }
        if (length != 0 && good == length) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            i += good == 0 ? 1 : good;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view all(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string_view name = all.substr(0, std::min<std::size_t>(data[0], all.size()));
    const std::string_view value = all.substr(name.size());

    const std::string line = flash::JsonObject().Add(name, value).Add("n", 1).Text();
    for (const char c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            Finding("a raw control character in the line", line);
    nlohmann::json parsed;
    try {
        parsed = nlohmann::json::parse(line);
    } catch (const nlohmann::json::exception&) {
        Finding("a line that is no JSON", line);
    }
    if (!parsed.is_object() || parsed.size() != (Replaced(name) == "n" ? 1u : 2u))
        Finding("not the members written", line);
    const auto member = parsed.find(Replaced(name));
    if (member == parsed.end()) Finding("the name does not come back", line);
    if (Replaced(name) != "n" &&
        (!member->is_string() || member->get<std::string>() != Replaced(value)))
        Finding("the value does not come back", line);

    const std::string alone = flash::JsonString(value);
    try {
        if (nlohmann::json::parse(alone).get<std::string>() != Replaced(value))
            Finding("a string that does not come back", alone);
    } catch (const nlohmann::json::exception&) {
        Finding("a string that is no JSON", alone);
    }
    return 0;
}
