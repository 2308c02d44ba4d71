#include "tools/head/HeadCommandLine.h"

#include <cctype>
#include <charconv>
#include <functional>
#include <map>
#include <type_traits>

namespace head {

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool ParseUnsigned(const std::string& text, unsigned long long max, unsigned long long* value,
                   int base = 10) {
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        begin += 2;
    }
    unsigned long long v = 0;
    const auto [ptr, ec] = std::from_chars(begin, end, v, base);
    if (ec != std::errc() || ptr != end || begin == end || v > max) return false;
    *value = v;
    return true;
}

bool ParseHexBytes(const std::string& text, std::vector<std::uint8_t>* bytes) {
    bytes->clear();
    std::string digits;
    auto flush = [&]() {
        if (digits.empty()) return true;
        unsigned long long v = 0;
        if (digits.size() > 2 || !ParseUnsigned(digits, 0xFF, &v, 16)) return false;
        bytes->push_back(static_cast<std::uint8_t>(v));
        digits.clear();
        return true;
    };
    for (const char c : text) {
        if (c == ' ' || c == ',' || c == ':') {
            if (!flush()) return false;
        } else {
            digits += c;
        }
    }
    return flush() && !bytes->empty();
}

// "greeting" or a frame number from 1.
bool ParsePoint(const std::string& text, unsigned* point) {
    unsigned long long n = 0;
    if (Lower(text) == "greeting") {
        *point = kGreetingPoint;
    } else if (ParseUnsigned(text, 1'000'000, &n) && n >= 1) {
        *point = static_cast<unsigned>(n);
    } else {
        return false;
    }
    return true;
}

// text split at every ':'.
std::vector<std::string> Fields(const std::string& text) {
    std::vector<std::string> fields(1);
    for (const char c : text) {
        if (c == ':') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

// POINT:HEX[:before|:after]
bool ParseMergeAnswer(const std::string& text, HeadFaults* f) {
    std::vector<std::string> fields = Fields(text);
    if (fields.size() < 2) return false;
    unsigned point = 0;
    if (!ParsePoint(fields.front(), &point)) return false;
    bool before = false;
    if (fields.size() > 2 &&
        (Lower(fields.back()) == "before" || Lower(fields.back()) == "after")) {
        before = Lower(fields.back()) == "before";
        fields.pop_back();
    }
    std::string hex;
    for (std::size_t i = 1; i < fields.size(); ++i) hex += (i > 1 ? " " : "") + fields[i];
    std::vector<std::uint8_t> bytes;
    if (!ParseHexBytes(hex, &bytes)) return false;
    f->mergeAt = point;
    f->mergeBytes = std::move(bytes);
    f->mergeBefore = before;
    return true;
}

// K:N[:CODE]
bool ParseUnprompted(const std::string& text, HeadFaults* f) {
    const std::vector<std::string> fields = Fields(text);
    unsigned long long frame = 0;
    unsigned long long after = 0;
    unsigned long long code = f->unpromptedCode;
    if (fields.size() < 2 || fields.size() > 3 || !ParseUnsigned(fields[0], 1'000'000, &frame) ||
        frame < 1 || !ParseUnsigned(fields[1], 1'000'000, &after) ||
        (fields.size() == 3 && !ParseUnsigned(fields[2], 0xFF, &code, 16))) {
        return false;
    }
    f->unpromptedFrame = static_cast<unsigned>(frame);
    f->unpromptedAfterBytes = static_cast<std::size_t>(after);
    f->unpromptedCode = static_cast<std::uint8_t>(code);
    return true;
}

}  // namespace

bool ParseHeadCommandLine(const std::vector<std::string>& args, HeadCommandLine* result,
                          std::string* error) {
    HeadCommandLine line;
    HeadOptions& o = line.options;
    HeadFaults& f = o.faults;
    std::string problem;

    auto number = [&](unsigned long long max, auto* target) {
        return [&problem, max, target](const std::string& v) {
            unsigned long long n = 0;
            if (!ParseUnsigned(v, max, &n)) {
                problem = "not a number in range: " + v;
                return;
            }
            *target = static_cast<std::remove_pointer_t<decltype(target)>>(n);
        };
    };
    auto milliseconds = [&](std::chrono::milliseconds* target) {
        return [&problem, target](const std::string& v) {
            unsigned long long n = 0;
            if (!ParseUnsigned(v, 3'600'000, &n)) {
                problem = "not a time in milliseconds: " + v;
                return;
            }
            *target = std::chrono::milliseconds(n);
        };
    };
    auto point = [&](std::optional<unsigned>* target) {
        return [&problem, target](const std::string& v) {
            unsigned at = 0;
            if (ParsePoint(v, &at)) {
                *target = at;
            } else {
                problem = "not a point (greeting or a frame number from 1): " + v;
            }
        };
    };
    auto code = [&](std::uint8_t* target) {
        return [&problem, target](const std::string& v) {
            unsigned long long n = 0;
            if (!ParseUnsigned(v, 0xFF, &n, 16)) {
                problem = "not an answer code in hex: " + v;
                return;
            }
            *target = static_cast<std::uint8_t>(n);
        };
    };

    // Options that take a value.
    const std::map<std::string, std::function<void(const std::string&)>> valued = {
        {"--address", number(255, &o.address)},
        {"--protocol",
         [&](const std::string& v) {
             const std::string p = Lower(v);
             if (p == "pelco-d" || p == "pelco_d" || p == "d") {
                 o.protocol = PelcoProtocol::PelcoD;
             } else if (p == "pelco-p" || p == "pelco_p" || p == "p") {
                 o.protocol = PelcoProtocol::PelcoP;
             } else {
                 problem = "unknown protocol: " + v;
             }
         }},
        {"--speed", number(100'000'000, &o.speed)},
        {"--attach", [&](const std::string& v) { line.attachPath = v; }},
        {"--output", [&](const std::string& v) { o.outputPath = v; }},
        {"--expect-size",
         [&](const std::string& v) {
             number(0x7FFFFFFF, &o.expectSize)(v);
             o.sizeRule = ImageSizeRule::ExpectSize;
         }},
        {"--frame-timeout", milliseconds(&o.frameTimeout)},
        {"--pace", number(100'000'000, &o.paceBaud)},
        {"--reject-frame", number(1'000'000, &f.rejectFrame)},
        {"--reject-code", code(&f.rejectCode)},
        {"--fail-at", point(&f.failAt)},
        {"--fail-code", code(&f.failCode)},
        {"--xoff-frame", number(1'000'000, &f.xoffFrame)},
        {"--xoff-after", number(1'000'000, &f.xoffAfterBytes)},
        {"--xoff-ms", milliseconds(&f.xoffPause)},
        {"--silent-from", point(&f.silentFrom)},
        {"--garbage-at", point(&f.garbageAt)},
        {"--garbage-bytes",
         [&](const std::string& v) {
             if (!ParseHexBytes(v, &f.garbageBytes)) problem = "not hex bytes: " + v;
         }},
        {"--garbage-gap", milliseconds(&f.garbageGap)},
        {"--merge-answer",
         [&](const std::string& v) {
             if (!ParseMergeAnswer(v, &f)) problem = "not POINT:HEX[:before]: " + v;
         }},
        {"--unprompted",
         [&](const std::string& v) {
             if (!ParseUnprompted(v, &f)) problem = "not K:N[:CODE]: " + v;
         }},
    };
    // Switches.
    const std::map<std::string, std::function<void()>> switches = {
        {"--help", [&] { line.help = true; }},
        {"-h", [&] { line.help = true; }},
        {"--loader", [&] { o.startInLoader = true; }},
        {"--trim-fill", [&] { o.sizeRule = ImageSizeRule::TrimFill; }},
        {"--garbage-before", [&] { f.garbageBeforeAnswer = true; }},
        {"--no-done", [&] { f.withholdDone = true; }},
        {"--quiet", [&] { line.quiet = true; }},
    };

    for (std::size_t i = 0; i < args.size() && problem.empty(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (const auto eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (const auto s = switches.find(name); s != switches.end() && !value) {
            s->second();
            continue;
        }
        const auto v = valued.find(name);
        if (v == valued.end()) {
            problem = "unknown option: " + args[i];
            break;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                problem = name + " needs a value";
                break;
            }
            value = args[++i];
        }
        v->second(*value);
    }
    if (problem.empty() && !line.help) problem = CheckOptions(o);
    if (!problem.empty()) {
        if (error) *error = problem;
        return false;
    }
    *result = std::move(line);
    return true;
}

std::string HeadUsage() {
    return R"(Usage: kavlet-head [options]

A virtual camera head for trying Kavlet without hardware. It makes a pseudo-terminal and
prints its path: type that path into Kavlet's port box. It waits at its own line speed for
the start-upgrade command (Pelco-D FF addr 00 57 00 00 sum, or Pelco-P A0 addr-1 00 57 00
00 AF xor) addressed to it, then runs its loader at 115200 baud: it answers the greeting
3F 3F with 80 and each 4107-byte firmware frame with 82 (84 after the last block, 81 on a
wrong checksum). Ctrl-C ends it and prints a summary with the image's SHA-256.

On a pseudo-terminal it reads the speed Kavlet has set; bytes sent while that speed is not
the head's own are taken as noise, as a real receiver would.

The head:
  --address N          bus address, 1 to 255 (default 1)
  --protocol P         pelco-d or pelco-p (default pelco-d)
  --speed BAUD         normal line speed of the head (default 2400)
  --loader             start in the loader, without waiting for the start-upgrade command
  --attach DEVICE      use this serial device instead of a new pseudo-terminal; the head
                       sets its speed itself (never use the machine's console port)
  --frame-timeout MS   drop a frame or command left incomplete this long (default 2000;
                       0: never)
  --pace BAUD          read no faster than a real line of this speed (10 bits a byte:
                       115200 gives 11,520 bytes/s); default: read at once

The image (a frame carries 4096 bytes, 0xFF-filled past the end of the file, so the head
cannot tell the image's length from the frames alone):
  --output FILE        write the received image here when it is complete
  --expect-size N      the image is N bytes: cut it there (exact; bytes past N must be fill)
  --trim-fill          drop the trailing FF bytes of the last block (wrong for an image
                       that ends in FF)
                       Without either: whole blocks, fill included.

Faults, each once (a POINT is "greeting" for the next greeting, or K for the K-th frame
received since the start, frames sent again included):
  --reject-frame K     answer a checksum error to frame K although it is good
  --reject-code C      that answer: 81 or 83 (hex, default 81)
  --fail-at POINT      answer a failure in place of the answer at POINT
  --fail-code C        that answer: 86 (failed) or 87 (timed out) (hex, default 86)
  --xoff-frame K       send XOFF during frame K ...
  --xoff-after N       ... after N of its bytes (default 1024) ...
  --xoff-ms MS         ... and XON MS later (default 500)
  --silent-from POINT  answer nothing from POINT on
  --garbage-at POINT   send bytes that mean nothing at POINT, after the answer ...
  --garbage-before     ... or before it (the garbage then comes first)
  --garbage-bytes HEX  those bytes (default "85 00 55 aa 7e"; no answer code, XON or XOFF)
  --garbage-gap MS     time between the garbage and the answer (default 100)
  --no-done            answer 82 in place of 84 to the last frame, so Kavlet sends one frame
                       more (that one gets 84, and its load address tells the file's size)
  --merge-answer POINT:HEX[:before]
                       write the answer at POINT and the bytes HEX (hex, blank- or comma-
                       separated) in one write, so they reach Kavlet as one chunk: after the
                       answer, or in front of it with ":before"; e.g. 2:80 sends "82 80" for
                       frame 2, greeting:82:before sends "82 80" for the greeting (no XON/XOFF)
  --unprompted K:N[:CODE]
                       while frame K comes in, after N of its bytes (1 to 4106), send CODE
                       unasked: 86 (failed) or 87 (timed out) (hex, default 86); frame K is
                       still answered when it is complete

Output:
  --quiet              print only the port path and the summary, not every event
  -h, --help           this text
)";
}

}  // namespace head
