#include "cli/FlashOptions.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "serial/PortNames.h"
#include "upgrade/DeviceAddress.h"
#include "upgrade/PelcoCommand.h"

namespace flash {
namespace {

// What the operator types as a port differs by platform: Windows knows COM ports only.
#ifdef _WIN32
constexpr const char* kPortForms = "COMn";
constexpr const char* kNotAPort = "\" is not a port name such as COM1, COM2, ...";
constexpr const char* kPortHelp = "the serial port: COMn (COM1, COM10, ...)";
constexpr const char* kExamplePort = "COM3";
constexpr const char* kInterrupts =
    "Ctrl-C or Ctrl-Break 130, the console closed 129, logoff or shutdown 143";
#else
constexpr const char* kPortForms = "a device path or COMn";
constexpr const char* kNotAPort =
    "\" is neither a device path (such as /dev/ttyUSB0) nor a name COM1, COM2, ...";
constexpr const char* kPortHelp =
    "the serial port: a device path (/dev/ttyUSB0) or COMn (/dev/ttyS<n-1>)";
constexpr const char* kExamplePort = "/dev/ttyUSB0";
constexpr const char* kInterrupts = "SIGHUP 129, Ctrl-C 130, Ctrl-\\ 131, SIGTERM 143";
#endif

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

const char* ProtocolName(std::uint8_t protocolIndex) {
    return protocolIndex == PROTOCOL_INDEX_PELCO_D ? "pelco-d" : "pelco-p";
}

ParsedArguments ParseArguments(std::span<const std::string> arguments) {
    const auto usage = [](std::string message) { return ParsedArguments{std::nullopt, message}; };
    FlashOptions options;
    bool listPorts = false, help = false, version = false;
    std::vector<std::string> images;
    struct Given {
        std::string_view name;
        std::optional<std::string> value;
    };
    std::array<Given, 6> values = {{{"--port", {}},
                                    {"--address", {}},
                                    {"--protocol", {}},
                                    {"--speed", {}},
                                    {"--answer-timeout", {}},
                                    {"--max-resends", {}}}};
    std::vector<std::string_view> otherOptions;  // given besides --list-ports
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            images.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        const std::size_t equals = argument.find('=');
        const std::string_view name = std::string_view(argument).substr(0, equals);
        if (name == "--help" || name == "-h") {
            help = true;
        } else if (name == "--version") {
            version = true;
        } else if (name == "--list-ports") {
            listPorts = true;
        } else if (name == "--json") {
            options.json = true;
        } else if (name == "--quiet") {
            options.quiet = true;
            otherOptions.push_back("--quiet");
        } else {
            const auto given = std::find_if(values.begin(), values.end(),
                                            [&](const Given& g) { return g.name == name; });
            if (given == values.end())
                return usage("Unknown option \"" + argument + "\" (see kavlet-flash --help).");
            if (given->value) return usage("The option " + std::string(name) + " is given twice.");
            if (equals != std::string::npos) {
                given->value = argument.substr(equals + 1);
            } else if (i + 1 < arguments.size()) {
                given->value = arguments[++i];
            } else {
                return usage("The option " + std::string(name) + " needs a value.");
            }
            otherOptions.push_back(given->name);
            continue;
        }
        if (equals != std::string::npos)
            return usage("The option " + std::string(name) + " takes no value.");
    }
    if (help) {
        options.mode = Mode::Help;
        return {options, {}};
    }
    if (version) {
        options.mode = Mode::Version;
        return {options, {}};
    }
    if (listPorts) {
        if (!otherOptions.empty())
            return usage("--list-ports takes no option but --json, and " +
                         std::string(otherOptions.front()) + " was given.");
        if (!images.empty()) return usage("--list-ports takes no image.");
        options.mode = Mode::ListPorts;
        return {options, {}};
    }

    const auto& [port, address, protocol, speed, answerTimeout, maxResends] = values;
    if (!port.value) return usage("Name the port with --port (" + std::string(kPortForms) + ").");
    if (DevicePathForPortName(*port.value).empty())
        return usage("The port \"" + *port.value + kNotAPort);
    options.port = *port.value;
    if (!address.value) return usage("Name the heads with --address (such as 1 or 1,3,5-8).");
    std::string error;
    const auto list = ParseAddressList(*address.value, &error);
    if (!list) return usage(error);
    options.addresses = *list;
    if (protocol.value) {
        if (*protocol.value == "pelco-d") {
            options.protocolIndex = PROTOCOL_INDEX_PELCO_D;
        } else if (*protocol.value == "pelco-p") {
            options.protocolIndex = PROTOCOL_INDEX_PELCO_P;
        } else {
            return usage("The protocol \"" + *protocol.value +
                         "\" is unknown: give pelco-d or pelco-p.");
        }
    }
    if (speed.value) {
        const auto baud = ReadUnsigned(*speed.value);
        const auto found =
            baud ? std::find(DEVICE_SPEED_TABLE.begin(), DEVICE_SPEED_TABLE.end(), *baud)
                 : DEVICE_SPEED_TABLE.end();
        if (found == DEVICE_SPEED_TABLE.end()) {
            std::string known;
            for (const auto s : DEVICE_SPEED_TABLE)
                known += (known.empty() ? "" : ", ") + std::to_string(s);
            return usage("The speed \"" + *speed.value + "\" is not one of " + known + " baud.");
        }
        options.speed = *baud;
        options.speedIndex = static_cast<std::uint8_t>(found - DEVICE_SPEED_TABLE.begin());
    }
    if (answerTimeout.value) {
        const auto wait = ReadSeconds(*answerTimeout.value);
        if (!wait)
            return usage("The answer timeout \"" + *answerTimeout.value +
                         "\" is not a number of seconds from 0.001 to 3600.");
        options.answerTimeout = *wait;
    }
    if (maxResends.value) {
        const auto n = ReadUnsigned(*maxResends.value);
        if (!n || *n > kMaxResendsLimit)
            return usage("The resend limit \"" + *maxResends.value +
                         "\" is not a whole number from 0 to 1000.");
        options.maxResends = *n;
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
  --json                   one JSON object a line on standard output, for programs
  --quiet                  only errors and the summary
  --list-ports             the serial ports of this machine, with driver and USB ids; opens none
  --help                   this text
  --version                the program's version

Exit status: 0 every head took the image; 1 at least one head did not; 2 wrong command line;
3 the port cannot be opened or failed; 4 the image cannot be read or is empty;
5 the output could not be written (all else went well);
interrupted: 128 and the signal's number (@INTERRUPTS@).

Examples:
  kavlet-flash --port @PORT@ --address 1 firmware.bin
  kavlet-flash --port COM1 --address 1,3,5-8 --protocol pelco-p --speed 9600 firmware.bin
  kavlet-flash --port @PORT@ --address 2 --answer-timeout 5 --json firmware.bin > log.jsonl
  kavlet-flash --list-ports
)";
    const std::pair<const char*, const char*> fills[] = {
        {"@PORT_HELP@", kPortHelp}, {"@INTERRUPTS@", kInterrupts}, {"@PORT@", kExamplePort}};
    for (const auto& [mark, fill] : fills)
        for (std::size_t at; (at = text.find(mark)) != std::string::npos;)
            text.replace(at, std::string_view(mark).size(), fill);
    return text;
}

std::string VersionText() {
    return "kavlet-flash 1.0\n";
}

}  // namespace flash
