#include "cli/FlashOptions.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <charconv>

#include "cli/Platform.h"
#include "serial/PortNames.h"
#include "upgrade/DeviceAddress.h"
#include "upgrade/PelcoCommand.h"

namespace flash {
namespace {

// A usage error: one line, whatever the operator typed: a control character of an argument shown
// in it (a line end in a file name) is shown as "?".
ParsedArguments UsageError(std::string message) {
    for (char& c : message)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return ParsedArguments{std::nullopt, std::move(message)};
}

constexpr unsigned kMaxResendsLimit = 1000;
constexpr double kMaxAnswerTimeoutSeconds = 3600;

// A whole decimal number without sign or blanks, below 2^32.
std::optional<std::uint32_t> ReadUnsigned(std::string_view text) {
    std::uint32_t value = 0;
    if (text.empty() ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// Seconds as digits with an optional fraction ("10", "0.5"), in milliseconds.
std::optional<std::chrono::milliseconds> ReadSeconds(std::string_view text) {
    const std::size_t dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    const std::string_view fraction =
        dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
    if (dot != std::string_view::npos && fraction.empty()) return std::nullopt;
    const auto seconds = ReadUnsigned(whole.empty() && !fraction.empty() ? "0" : whole);
    if (!seconds || *seconds > kMaxAnswerTimeoutSeconds) return std::nullopt;
    std::uint32_t millis = 0;
    if (!fraction.empty()) {
        if (fraction.size() > 3 || !ReadUnsigned(fraction)) return std::nullopt;
        std::string padded(fraction);
        padded.resize(3, '0');
        millis = *ReadUnsigned(padded);
    }
    const std::chrono::milliseconds total{std::int64_t{*seconds} * 1000 + millis};
    if (total.count() == 0 || total > std::chrono::seconds(3600)) return std::nullopt;
    return total;
}

std::optional<std::uint8_t> ReadAddress(std::string_view text) {
    const auto value = ReadUnsigned(text);
    if (!value || *value < MIN_DEVICE_ADDRESS || *value > MAX_DEVICE_ADDRESS) return std::nullopt;
    return static_cast<std::uint8_t>(*value);
}

}  // namespace

std::optional<std::vector<std::uint8_t>> ParseAddressList(std::string_view text,
                                                          std::string* error) {
    std::vector<std::uint8_t> addresses;
    std::array<bool, 256> seen{};
    const auto fail = [&](std::string message) -> std::optional<std::vector<std::uint8_t>> {
        if (error) *error = std::move(message);
        return std::nullopt;
    };
    if (text.empty()) return fail("The address list is empty.");
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string_view item = text.substr(start, comma - start);
        const std::string shown(item);
        if (item.empty())
            return fail("The address list \"" + std::string(text) + "\" has an empty item.");
        const std::size_t dash = item.find('-');
        std::optional<std::uint8_t> first, last;
        if (dash == std::string_view::npos) {
            first = last = ReadAddress(item);
        } else {
            first = ReadAddress(item.substr(0, dash));
            last = ReadAddress(item.substr(dash + 1));
        }
        if (!first || !last)
            return fail("The address \"" + shown + "\" is not a number from 1 to 255 or a range " +
                        "of them such as 5-8.");
        if (*last < *first) return fail("The address range \"" + shown + "\" runs backwards.");
        for (unsigned a = *first; a <= *last; ++a) {
            if (seen[a])
                return fail("The address " + std::to_string(a) + " is named more than once.");
            seen[a] = true;
            addresses.push_back(static_cast<std::uint8_t>(a));
        }
        start = comma + 1;
    }
    return addresses;
}

std::optional<std::uint8_t> ReadProtocolIndex(std::string_view text, std::string* error) {
    if (text == "pelco-d") return PROTOCOL_INDEX_PELCO_D;
    if (text == "pelco-p") return PROTOCOL_INDEX_PELCO_P;
    if (error)
        *error = "The protocol \"" + std::string(text) + "\" is unknown: give pelco-d or pelco-p.";
    return std::nullopt;
}

std::optional<std::uint8_t> ReadSpeedIndex(std::string_view text, std::string* error) {
    const auto baud = ReadUnsigned(text);
    const auto found = baud ? std::find(DEVICE_SPEED_TABLE.begin(), DEVICE_SPEED_TABLE.end(), *baud)
                            : DEVICE_SPEED_TABLE.end();
    if (found != DEVICE_SPEED_TABLE.end())
        return static_cast<std::uint8_t>(found - DEVICE_SPEED_TABLE.begin());
    std::string known;
    for (const auto s : DEVICE_SPEED_TABLE)
        known += (known.empty() ? "" : ", ") + std::to_string(s);
    if (error) *error = "The speed \"" + std::string(text) + "\" is not one of " + known + " baud.";
    return std::nullopt;
}

bool CheckPortName(const std::string& text, std::string* error) {
    if (!DevicePathForPortName(text).empty()) return true;
    if (error) *error = "The port \"" + text + ThisPlatformWords().notAPort;
    return false;
}

const char* ProtocolName(std::uint8_t protocolIndex) {
    return protocolIndex == PROTOCOL_INDEX_PELCO_D ? "pelco-d" : "pelco-p";
}

// The sentence for a command line that CLI11 refused: a switch given a value (--json=yes), or
// the last option left without its value.
std::string Misuse(std::span<const std::string> arguments,
                   const std::vector<std::string_view>& switches) {
    for (const std::string& argument : arguments) {
        if (argument == "--") break;
        const std::string name = argument.substr(0, argument.find('='));
        if (name != argument && std::find(switches.begin(), switches.end(), name) != switches.end())
            return "The option " + name + " takes no value.";
    }
    const std::string& last = arguments.back();
    return "The option " + last.substr(0, last.find('=')) + " needs a value.";
}

// The rest of a command line with --plan: the plan names the ports, heads and images.
template <typename Values>
ParsedArguments ReadPlanOptions(const std::string& plan, const std::optional<std::string>& jobs,
                                const std::optional<std::string>& journal, const Values& values,
                                const std::vector<std::string>& images, FlashOptions options) {
    const auto usage = [](std::string message) { return UsageError(std::move(message)); };
    for (std::size_t i = 0; i < 4; ++i)
        if (!values[i].values.empty())
            return usage("With --plan the plan names the ports, heads, protocols and speeds: " +
                         std::string(values[i].name) + " was given too.");
    if (!images.empty())
        return usage("With --plan the plan names the images: \"" + images.front() +
                     "\" was given too.");
    if (plan.empty()) return usage("The plan file name is empty.");
    options.plan = plan;
    if (jobs) {
        const auto n = ReadUnsigned(*jobs);
        if (!n || *n < 1 || *n > 1000)
            return usage("The number of jobs \"" + *jobs +
                         "\" is not a whole number from 1 to 1000.");
        options.jobs = *n;
    }
    if (journal) {
        if (journal->empty()) return usage("The journal file name is empty.");
        options.journal = *journal;
    }
    if (options.resume && options.journal.empty())
        return usage("--resume needs the journal of the earlier run (--journal FILE).");
    return {options, {}};
}

ParsedArguments ParseArguments(std::span<const std::string> arguments) {
    const auto usage = [](std::string message) { return UsageError(std::move(message)); };
    FlashOptions options;
    bool listPorts = false, help = false, version = false;
    std::vector<std::string> images;
    // Each option's values as given, every time it is given: twice is an error.
    struct Given {
        std::string_view name;
        std::vector<std::string> values;
    };
    std::array<Given, 9> values = {{{"--port", {}},
                                    {"--address", {}},
                                    {"--protocol", {}},
                                    {"--speed", {}},
                                    {"--answer-timeout", {}},
                                    {"--max-resends", {}},
                                    {"--plan", {}},
                                    {"--jobs", {}},
                                    {"--journal", {}}}};

    CLI::App app("kavlet-flash");
    app.set_help_flag();  // --help prints HelpText()
    app.allow_extras();   // unknown options are told of in this program's words
    // Options begin with "-" on Windows too: "/dir/image.bin" is an image (CLI11 would take it
    // for an option there by default).
    app.allow_windows_style_options(false);
    const std::vector<std::string_view> switches = {
        "-h", "--help", "--version", "--list-ports", "--json", "--quiet", "--resume"};
    bool* const switchTargets[] = {&help,         &help,          &version,       &listPorts,
                                   &options.json, &options.quiet, &options.resume};
    for (std::size_t i = 0; i < switches.size(); ++i)
        app.add_flag(std::string(switches[i]), *switchTargets[i])->disable_flag_override();
    for (Given& given : values)
        app.add_option(std::string(given.name), given.values)
            ->expected(1)
            ->allow_extra_args(false)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("image", images);
    // CLI11 takes "--port=" (nothing after "=") for "--port" and the next argument for its
    // value: it is given here as the empty value it is, and refused as one below.
    std::vector<std::string> reversed;  // CLI11's order
    bool optionsEnded = false;
    for (const std::string& argument : arguments) {
        optionsEnded = optionsEnded || argument == "--";
        const bool emptyValue =
            !optionsEnded && std::any_of(values.begin(), values.end(), [&](const Given& given) {
                return argument.size() == given.name.size() + 1 && argument.back() == '=' &&
                       argument.starts_with(given.name);
            });
        if (emptyValue) {
            reversed.push_back(argument.substr(0, argument.size() - 1));
            reversed.emplace_back();
        } else {
            reversed.push_back(argument);
        }
    }
    std::reverse(reversed.begin(), reversed.end());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError&) {
        return usage(Misuse(arguments, switches));
    }
    for (const std::string& extra : app.remaining())
        if (extra != "--")
            return usage("Unknown option \"" + extra + "\" (see kavlet-flash --help).");
    for (const Given& given : values)
        if (given.values.size() > 1)
            return usage("The option " + std::string(given.name) + " is given twice.");

    if (help) {
        options.mode = Mode::Help;
        return {options, {}};
    }
    if (version) {
        options.mode = Mode::Version;
        return {options, {}};
    }
    if (listPorts) {
        for (const CLI::Option* option : app.parse_order()) {
            const std::string name = option->get_name();
            if (option->nonpositional() && name != "--list-ports" && name != "--json")
                return usage("--list-ports takes no option but --json, and " + name +
                             " was given.");
        }
        if (!images.empty()) return usage("--list-ports takes no image.");
        options.mode = Mode::ListPorts;
        return {options, {}};
    }

    // The value given, if any.
    const auto value = [&](std::size_t i) -> std::optional<std::string> {
        if (values[i].values.empty()) return std::nullopt;
        return values[i].values.front();
    };
    const auto port = value(0), address = value(1), protocol = value(2), speed = value(3),
               answerTimeout = value(4), maxResends = value(5);
    if (answerTimeout) {
        const auto wait = ReadSeconds(*answerTimeout);
        if (!wait)
            return usage("The answer timeout \"" + *answerTimeout +
                         "\" is not a number of seconds from 0.001 to 3600.");
        options.answerTimeout = *wait;
    }
    if (maxResends) {
        const auto n = ReadUnsigned(*maxResends);
        if (!n || *n > kMaxResendsLimit)
            return usage("The resend limit \"" + *maxResends +
                         "\" is not a whole number from 0 to 1000.");
        options.maxResends = *n;
    }
    const auto plan = value(6), jobs = value(7), journal = value(8);
    if (plan) return ReadPlanOptions(*plan, jobs, journal, values, images, std::move(options));
    for (const std::string_view planOnly : {"--jobs", "--journal", "--resume"})
        if (app.get_option(std::string(planOnly))->count() > 0)
            return usage("The option " + std::string(planOnly) + " goes with --plan only.");
    if (!port)
        return usage("Name the port with --port (" + std::string(ThisPlatformWords().portForms) +
                     ").");
    std::string error;
    if (!CheckPortName(*port, &error)) return usage(error);
    options.port = *port;
    if (!address) return usage("Name the heads with --address (such as 1 or 1,3,5-8).");
    const auto list = ParseAddressList(*address, &error);
    if (!list) return usage(error);
    options.addresses = *list;
    if (protocol) {
        const auto index = ReadProtocolIndex(*protocol, &error);
        if (!index) return usage(error);
        options.protocolIndex = *index;
    }
    if (speed) {
        const auto index = ReadSpeedIndex(*speed, &error);
        if (!index) return usage(error);
        options.speedIndex = *index;
        options.speed = DEVICE_SPEED_TABLE[*index];
    }
    if (images.empty()) return usage("Name the firmware image to send (IMAGE).");
    if (images.size() > 1)
        return usage("Only one image can be sent, but \"" + images[0] + "\" and \"" + images[1] +
                     "\" were given.");
    options.image = images.front();
    return {options, {}};
}

std::string HelpText() {
    std::string text = R"(Usage:
  kavlet-flash --port PORT --address LIST [--protocol pelco-d|pelco-p] [--speed BAUD]
               [--answer-timeout SECONDS] [--max-resends N] [--json] [--quiet] IMAGE
  kavlet-flash --plan FILE [--jobs N] [--journal FILE [--resume]] [--answer-timeout SECONDS]
               [--max-resends N] [--json] [--quiet]
  kavlet-flash --list-ports [--json]
  kavlet-flash --help | --version

Loads the firmware IMAGE into each camera head named, one after the other, over a serial line:
switches the head into its loader at its own speed, greets it, and sends the image in frames
of 4096 bytes at 115200 baud, sending a frame again when the head rejects it.

Options:
  --port PORT              @PORT_HELP@
  --address LIST           the heads' bus addresses, 1 to 255: one (1) or a list (1,3,5-8),
                           upgraded in the order given
  --protocol NAME          pelco-d (default) or pelco-p
  --speed BAUD             the heads' own line speed: 2400 (default), 4800, 9600, 19200, 38400,
                           57600, 115200, 128000, 256000 or 921600
  --answer-timeout SECONDS how long a head may stay silent before it counts as failed
                           (default 10; fractions such as 0.5 allowed)
  --max-resends N          how many times one frame is sent again after a checksum error
                           before the head counts as failed (default 10)
  --plan FILE              a whole site in one run: a CSV file with a row a head (columns
                           port, address, protocol, speed, image, and name if wanted); each
                           port's rows in turn, different ports at the same time
  --jobs N                 with --plan: at most N ports at once (default: every port)
  --journal FILE           with --plan: one JSON line appended to FILE as each row ends
  --resume                 with --journal: rows the journal has as done with the same image
                           are skipped
  --json                   one JSON object a line on standard output, for programs
  --quiet                  only errors and the summary
  --list-ports             the serial ports of this machine, with driver and USB ids; opens none
  --help                   this text
  --version                the program's version

Exit status: 0 every head took the image; 1 at least one head did not; 2 wrong command line
(or, with --plan, a wrong plan);
3 the port cannot be opened or failed; 4 the image cannot be read or is empty;
5 the output could not be written (all else went well);
interrupted: 128 and the signal's number (@INTERRUPTS@).

Examples:
  kavlet-flash --port @PORT@ --address 1 firmware.bin
  kavlet-flash --port COM1 --address 1,3,5-8 --protocol pelco-p --speed 9600 firmware.bin
  kavlet-flash --port @PORT@ --address 2 --answer-timeout 5 --json firmware.bin > log.jsonl
  kavlet-flash --plan site.csv --jobs 4 --journal site.journal
  kavlet-flash --plan site.csv --journal site.journal --resume
  kavlet-flash --list-ports
)";
    const PlatformWords& words = ThisPlatformWords();
    const std::pair<const char*, const char*> fills[] = {{"@PORT_HELP@", words.portHelp},
                                                         {"@INTERRUPTS@", words.interrupts},
                                                         {"@PORT@", words.examplePort}};
    for (const auto& [mark, fill] : fills)
        for (std::size_t at; (at = text.find(mark)) != std::string::npos;)
            text.replace(at, std::string_view(mark).size(), fill);
    return text;
}

std::string VersionText() {
    return "kavlet-flash 1.0\n";
}

}  // namespace flash
