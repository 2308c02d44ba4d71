#include "tools/head/HeadCommandLine.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <type_traits>

#include "tools/head/VirtualBus.h"

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

// K:MS
bool ParseEchoAnswer(const std::string& text, HeadFaults* f) {
    const std::vector<std::string> fields = Fields(text);
    unsigned long long frame = 0;
    unsigned long long ms = 0;
    if (fields.size() != 2 || !ParseUnsigned(fields[0], 1'000'000, &frame) || frame < 1 ||
        !ParseUnsigned(fields[1], 3'600'000, &ms)) {
        return false;
    }
    f->echoFrame = static_cast<unsigned>(frame);
    f->echoDelay = std::chrono::milliseconds(ms);
    return true;
}

bool ParseProtocol(const std::string& text, PelcoProtocol* protocol) {
    const std::string p = Lower(text);
    if (p == "pelco-d" || p == "pelco_d" || p == "d") {
        *protocol = PelcoProtocol::PelcoD;
    } else if (p == "pelco-p" || p == "pelco_p" || p == "p") {
        *protocol = PelcoProtocol::PelcoP;
    } else {
        return false;
    }
    return true;
}

// The options that set faults: on a bus they follow --head ADDR.
const std::set<std::string> kFaultOptions = {
    "--reject-frame",  "--reject-code", "--fail-at",      "--fail-code",  "--xoff-frame",
    "--xoff-after",    "--xoff-ms",     "--silent-from",  "--garbage-at", "--garbage-before",
    "--garbage-bytes", "--garbage-gap", "--merge-answer", "--unprompted", "--no-done",
    "--echo-answer",   "--early-done"};
// The options without a value.
const std::set<std::string> kSwitches = {"--help",           "-h",        "--loader", "--trim-fill",
                                         "--garbage-before", "--no-done", "--quiet"};
// The options a bus gives each head in --bus, or that belong to one head on a line of its own.
const std::set<std::string> kSingleHeadOptions = {"--address", "--protocol", "--speed", "--attach",
                                                  "--loader"};

// The parsed command line of the program: the options (names as given, without "=value") in
// names, and in *bus the value of --bus if given. Empty when well-formed, else the problem.
std::string ParseOptions(const std::vector<std::string>& args, HeadCommandLine* result,
                         std::vector<std::string>* names, std::optional<std::string>* bus) {
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
             if (!ParseProtocol(v, &o.protocol)) problem = "unknown protocol: " + v;
         }},
        {"--bus", [&](const std::string& v) { *bus = v; }},
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
        {"--echo-answer",
         [&](const std::string& v) {
             if (!ParseEchoAnswer(v, &f)) problem = "not K:MS: " + v;
         }},
        {"--early-done", number(1'000'000, &f.earlyDoneAfterBytes)},
    };
    // Switches.
    const std::map<std::string, std::function<void()>> switches = {
        // Every name here is in kSwitches as well.
        {"--help", [&] { line.help = true; }},
        {"-h", [&] { line.help = true; }},
        {"--loader", [&] { o.startInLoader = true; }},
        {"--trim-fill", [&] { o.sizeRule = ImageSizeRule::TrimFill; }},
        {"--garbage-before", [&] { f.garbageBeforeAnswer = true; }},
        {"--no-done", [&] { f.withholdDone = true; }},
        {"--quiet", [&] { line.quiet = true; }},
    };

    // CLI11 reads the arguments; each option's values are then taken in the order given, so
    // that a later one wins and the first problem is the one told of.
    CLI::App app("kavlet-head");
    app.set_help_flag();  // --help prints HeadUsage()
    app.allow_extras();   // unknown options are told of in this program's words
    for (const auto& entry : switches) app.add_flag(entry.first)->disable_flag_override();
    for (const auto& entry : valued)
        app.add_option(entry.first)
            ->expected(1)
            ->allow_extra_args(false)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11's order
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError&) {
        // A switch given a value, or the last option left without its value.
        for (const std::string& arg : args) {
            const std::string name = arg.substr(0, arg.find('='));
            if (name != arg && switches.count(name)) return "unknown option: " + arg;
        }
        return args.back().substr(0, args.back().find('=')) + " needs a value";
    }
    if (!app.remaining().empty()) return "unknown option: " + app.remaining().front();
    std::map<const CLI::Option*, std::size_t> taken;  // values used so far, by option
    for (const CLI::Option* option : app.parse_order()) {
        const std::string name = option->get_name();
        names->push_back(name);
        if (const auto s = switches.find(name); s != switches.end()) {
            s->second();
        } else {
            valued.at(name)(option->results().at(taken[option]++));
        }
        if (!problem.empty()) return problem;
    }
    if (problem.empty()) *result = std::move(line);
    return problem;
}

// ADDR:PROTOCOL:SPEED,... onto copies of common.
std::string ParseBus(const std::string& text, const HeadOptions& common,
                     std::vector<HeadOptions>* heads) {
    std::string entry;
    std::vector<std::string> entries;
    for (const char c : text + ",") {
        if (c != ',') {
            entry += c;
            continue;
        }
        entries.push_back(entry);
        entry.clear();
    }
    for (const std::string& e : entries) {
        const std::vector<std::string> fields = Fields(e);
        HeadOptions options = common;
        unsigned long long address = 0;
        unsigned long long speed = 0;
        if (fields.size() != 3 || !ParseUnsigned(fields[0], 255, &address) || address < 1 ||
            !ParseProtocol(fields[1], &options.protocol) ||
            !ParseUnsigned(fields[2], 100'000'000, &speed) || speed == 0) {
            return "not ADDRESS:PROTOCOL:SPEED (address 1 to 255, pelco-d or pelco-p, speed in "
                   "baud): \"" +
                   e + "\"";
        }
        options.address = static_cast<unsigned>(address);
        options.speed = static_cast<std::uint32_t>(speed);
        if (!options.outputPath.empty()) {
            options.outputPath = BusOutputPath(common.outputPath, options.address);
        }
        heads->push_back(std::move(options));
    }
    return CheckBus(*heads);
}

}  // namespace

std::string BusOutputPath(const std::string& path, unsigned address) {
    const std::filesystem::path p(path);
    std::filesystem::path name = p.stem();
    name += "-";
    name += std::to_string(address);
    name += p.extension();
    return (p.parent_path() / name).string();
}

bool ParseHeadCommandLine(const std::vector<std::string>& args, HeadCommandLine* result,
                          std::string* error) {
    auto fail = [error](const std::string& problem) {
        if (error) *error = problem;
        return false;
    };
    // The arguments up to the first --head, then one section a --head ADDR.
    std::vector<std::string> common;
    std::vector<std::pair<std::string, std::vector<std::string>>> sections;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--head" || args[i].starts_with("--head=")) {
            std::string address;
            if (args[i] != "--head") {
                address = args[i].substr(7);
            } else if (i + 1 < args.size()) {
                address = args[++i];
            } else {
                return fail("--head needs an address");
            }
            sections.push_back({address, {}});
            continue;
        }
        // A fault goes to the head named last; any other option is the line's, wherever it
        // stands. An option's value goes with it.
        const std::string name = args[i].substr(0, args[i].find('='));
        std::vector<std::string>& to =
            sections.empty() || !kFaultOptions.count(name) ? common : sections.back().second;
        to.push_back(args[i]);
        const bool takesValue = name.starts_with("--") && name == args[i] &&
                                !kSwitches.count(name) && i + 1 < args.size();
        if (takesValue) to.push_back(args[++i]);
    }

    HeadCommandLine line;
    std::vector<std::string> names;
    std::optional<std::string> bus;
    if (std::string problem = ParseOptions(common, &line, &names, &bus); !problem.empty()) {
        return fail(problem);
    }
    if (!bus) {
        if (!sections.empty()) return fail("--head ADDR belongs to a bus: give --bus first");
        if (!line.help) {
            if (std::string problem = CheckOptions(line.options); !problem.empty()) {
                return fail(problem);
            }
        }
        *result = std::move(line);
        return true;
    }

    for (const std::string& name : names) {
        if (kFaultOptions.count(name)) {
            return fail(name + ": on a bus, faults follow --head ADDR, the head they are for");
        }
        if (kSingleHeadOptions.count(name)) {
            return fail(name +
                        " is not for a bus: --bus gives every head's address, protocol "
                        "and speed");
        }
    }
    if (std::string problem = ParseBus(*bus, line.options, &line.bus); !problem.empty()) {
        return fail("--bus: " + problem);
    }
    std::set<unsigned> faulted;
    for (const auto& [addressText, sectionArgs] : sections) {
        unsigned long long address = 0;
        const auto head = std::find_if(line.bus.begin(), line.bus.end(), [&](const auto& h) {
            return ParseUnsigned(addressText, 255, &address) && h.address == address;
        });
        if (head == line.bus.end())
            return fail("--head " + addressText + ": no such head on --bus");
        if (!faulted.insert(head->address).second) {
            return fail("--head " + addressText + " given twice");
        }
        HeadCommandLine faults;
        std::vector<std::string> faultNames;
        std::optional<std::string> nested;
        if (std::string problem = ParseOptions(sectionArgs, &faults, &faultNames, &nested);
            !problem.empty()) {
            return fail("--head " + addressText + ": " + problem);
        }
        for (const std::string& name : faultNames) {
            if (!kFaultOptions.count(name)) {
                return fail("--head " + addressText + ": only faults follow --head, not " + name);
            }
        }
        head->faults = faults.options.faults;
    }
    if (std::string problem = CheckBus(line.bus); !problem.empty()) return fail(problem);
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
                       unasked: any answer code, e.g. 86 (failed), 87 (timed out), or a
                       stray 82 or 84 (hex, default 86); frame K is still answered when it
                       is complete
  --echo-answer K:MS   send the answer to frame K once more, MS milliseconds after it (a
                       late echo: an 82 that comes while the next frame goes out)
  --early-done N       send 84 (done) after N bytes (2 to 4106) of the last frame, before it
                       is complete, and answer nothing after that

Several heads on one line (as camera heads on one RS-485 line):
  --bus ADDR:PROTOCOL:SPEED,...
                       heads on one pseudo-terminal, e.g. 1:pelco-d:2400,7:pelco-p:9600
                       (addresses distinct, 1 to 255); in place of --address, --protocol,
                       --speed, --loader and --attach. Every byte reaches every head, and
                       each hears only what comes at its receiver's speed: the head addressed
                       by its own start-upgrade command at its own speed enters its loader,
                       the others stay in normal operation. Once its image is complete, a
                       loader head is back in normal operation when the tool turns to another
                       head (bytes at another speed than 115200, or a start-upgrade command at
                       115200); with an incomplete image it stays in its loader.
  --head ADDR          the faults after it, up to the next --head, are head ADDR's only:
                       --bus 1:d:2400,2:d:2400 --head 2 --reject-frame 2 --head 1 --no-done
                       (on a bus, faults are given only this way; other options may stand
                       anywhere and stay the line's)
  --output, --expect-size, --trim-fill, --frame-timeout and --pace apply to every head; with
  --bus, --output FILE writes one file a head, the address put in before the extension:
  out.bin gives out-1.bin, out-2.bin (out gives out-1, out-2).

Output:
  --quiet              print only the port path and the summary, not every event
  -h, --help           this text
)";
}

}  // namespace head
