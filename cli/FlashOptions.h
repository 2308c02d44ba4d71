// The command line of kavlet-flash: what the operator asked for, read from the arguments.
// Pure functions.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace flash {

// Exit statuses of kavlet-flash.
inline constexpr int kExitDone = 0;           // every head named took the image
inline constexpr int kExitHeadFailed = 1;     // at least one head did not
inline constexpr int kExitUsage = 2;          // the command line is wrong
inline constexpr int kExitPort = 3;           // the port cannot be opened, or failed
inline constexpr int kExitImage = 4;          // the image cannot be read, or is empty
inline constexpr int kExitOutput = 5;         // all else went well, but stdout could not be written
inline constexpr int kExitInterrupted = 128;  // plus the signal's number (SIGINT 130, SIGTERM 143,
                                              // SIGHUP 129, SIGQUIT 131)

enum class Mode { Flash, ListPorts, Help, Version };

struct FlashOptions {
    Mode mode = Mode::Flash;
    std::string port;                     // "COMn" or a device path
    std::vector<std::uint8_t> addresses;  // in the order given, each once
    std::uint8_t protocolIndex = 1;       // 1 Pelco-D, 0 Pelco-P (the device dialog's positions)
    std::uint32_t speed = 2400;           // the heads' own line speed
    std::uint8_t speedIndex = 0;          // position of speed in DEVICE_SPEED_TABLE
    std::chrono::milliseconds answerTimeout{10'000};
    unsigned maxResends = 10;  // checksum errors taken for one block; one more fails the head
    bool json = false;
    bool quiet = false;
    std::string image;
    // --plan: the heads, ports and images come from this CSV file instead (cli/PlanFile.h).
    std::string plan;
    unsigned jobs = 0;    // ports served at once; 0: every port of the plan
    std::string journal;  // where each row's end is noted; empty: nowhere
    bool resume = false;  // rows the journal notes as done with the same image are skipped
};

struct ParsedArguments {
    std::optional<FlashOptions> options;  // empty on a usage error
    std::string error;                    // one sentence, for the operator
};

// Reads the arguments (without the program's name).
ParsedArguments ParseArguments(std::span<const std::string> arguments);

// Reads an address list: "1", "1,3,5-8". Addresses 1 to 255, in the order given; a repeated
// address or a range running backwards is an error. Empty (and *error set) when wrong.
std::optional<std::vector<std::uint8_t>> ParseAddressList(std::string_view text,
                                                          std::string* error);

// The checks of one setting, with the command line's sentences: the value read, or empty and
// *error set.
std::optional<std::uint8_t> ReadProtocolIndex(std::string_view text, std::string* error);
// The position of the speed in DEVICE_SPEED_TABLE.
std::optional<std::uint8_t> ReadSpeedIndex(std::string_view text, std::string* error);
bool CheckPortName(const std::string& text, std::string* error);

// "pelco-d" or "pelco-p" for a protocol index.
const char* ProtocolName(std::uint8_t protocolIndex);

std::string HelpText();
std::string VersionText();

}  // namespace flash
