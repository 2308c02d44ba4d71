// The network port's bytes without a network: port names, and the Telnet/RFC 2217 codec fed
// a server's stream piece by piece.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "serial/PortNames.h"
#include "serial/net/NetPortName.h"
#include "serial/net/TelnetCodec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;

TEST(NetPortName, NetworkNamesAreParsedAndOthersLeftToTheDevices) {
    const struct {
        std::string name;
        bool network;
        NetPortName::Mode mode;
        std::string host;
        std::uint16_t port;
    } rows[] = {
        {"rfc2217://127.0.0.1:4001", true, NetPortName::Mode::Rfc2217, "127.0.0.1", 4001},
        {"socket://server.example:1", true, NetPortName::Mode::RawSocket, "server.example", 1},
        {"rfc2217://[::1]:65535", true, NetPortName::Mode::Rfc2217, "::1", 65535},
        {"rfc2217://::1:4001", false, {}, "", 0},  // IPv6 needs its brackets
        {"rfc2217://host:0", false, {}, "", 0},
        {"rfc2217://host:65536", false, {}, "", 0},
        {"rfc2217://host:", false, {}, "", 0},
        {"rfc2217://:4001", false, {}, "", 0},
        {"rfc2217://host", false, {}, "", 0},
        {"rfc2217://host:40x1", false, {}, "", 0},
        {"telnet://host:23", false, {}, "", 0},
        {"/dev/ttyUSB0", false, {}, "", 0},
    };
    for (const auto& row : rows) {
        const auto parsed = NetPortName::Parse(row.name);
        ASSERT_EQ(parsed.has_value(), row.network) << row.name;
        // The command line and the window take a network name as it is.
        if (row.network) {
            EXPECT_EQ(DevicePathForPortName(row.name), row.name);
        }
        if (!parsed) continue;
        EXPECT_EQ(parsed->mode, row.mode) << row.name;
        EXPECT_EQ(parsed->host, row.host) << row.name;
        EXPECT_EQ(parsed->port, row.port) << row.name;
    }
}

TEST(TelnetCodec, DataIsEscapedAndCommandsCarryEscapedValues) {
    Bytes out;
    TelnetCodec::Escape(Bytes{0x01, 0xFF, 0xFF, 0x7F}, out);
    EXPECT_EQ(out, (Bytes{0x01, IAC, IAC, IAC, IAC, 0x7F}));
    // SET-BAUDRATE 16777215 (00 FF FF FF): every FF of the value doubled.
    EXPECT_EQ(TelnetCodec::ComPortCommand(1, Bytes{0x00, 0xFF, 0xFF, 0xFF}),
              (Bytes{IAC, SB, 44, 1, 0x00, IAC, IAC, IAC, IAC, IAC, IAC, IAC, SE}));
}

TEST(TelnetCodec, OffersBinarySuppressGoAheadAndComPort) {
    TelnetCodec codec;
    EXPECT_EQ(codec.Offers(),
              (Bytes{IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44}));
    EXPECT_FALSE(codec.ComPortAgreed());
}

// A server's stream, fed in the pieces given (each piece may end anywhere), after the tool's
// offers: the line's bytes, the replies, the COM-PORT answers, and whether COM-PORT was agreed.
TEST(TelnetCodec, ServerStreamsInPiecesGiveDataRepliesAndAnswers) {
    const struct {
        std::string what;
        std::vector<Bytes> pieces;
        Bytes data;
        Bytes replies;
        std::vector<TelnetCodec::ComPortAnswer> answers;
        bool comPort;
    } rows[] = {
        {"plain data", {{0x82, 0x00, 0x84}}, {0x82, 0x00, 0x84}, {}, {}, false},
        {"an escaped FF split between reads",
         {{0x80, IAC}, {IAC, 0x84}},
         {0x80, 0xFF, 0x84},
         {},
         {},
         false},
        {"answers to the tool's own offers need no reply",
         {{IAC, DO, 0, IAC, WILL, 0, IAC, DO, 3, IAC, WILL, 3, IAC, DO, 44}},
         {},
         {},
         {},
         true},
        {"options the tool does not take are refused",
         {{IAC, WILL, 1, IAC, DO, 24}},
         {},
         {IAC, DONT, 1, IAC, WONT, 24},
         {},
         false},
        {"a server that will do COM-PORT itself is refused",
         {{IAC, WILL, 44}},
         {},
         {IAC, DONT, 44},
         {},
         false},
        {"COM-PORT refused by the server", {{IAC, DONT, 44}}, {}, {}, {}, false},
        {"an answer split across three reads, its value escaped",
         {{IAC, DO, 44, 0x81, IAC, SB}, {44, 101, 0x00, IAC}, {IAC, 0x09, 0x60, IAC}, {SE, 0x83}},
         {0x81, 0x83},
         {},
         {{101, {0x00, 0xFF, 0x09, 0x60}}},
         true},
        {"subnegotiations of other options are dropped",
         {{IAC, SB, 24, 1, IAC, SE, 0x84}},
         {0x84},
         {},
         {},
         false},
        {"a subnegotiation longer than any value is dropped, the data after it kept",
         {{IAC, SB, 44, 101}, Bytes(TelnetCodec::kLongestValue + 1, 0x07), {IAC, SE, 0x84}},
         {0x84},
         {},
         {},
         false},
        {"NOP and GA carry nothing",
         {{0x80, IAC, 241, IAC, 249, 0x82}},
         {0x80, 0x82},
         {},
         {},
         false},
        {"the tool's option taken back is acknowledged",
         {{IAC, DO, 0}, {IAC, DONT, 0}},
         {},
         {IAC, WONT, 0},
         {},
         false},
    };
    for (const auto& row : rows) {
        TelnetCodec codec;
        codec.Offers();
        TelnetCodec::Decoded decoded;
        for (const Bytes& piece : row.pieces) codec.Feed(piece, decoded);
        EXPECT_EQ(decoded.data, row.data) << row.what;
        EXPECT_EQ(decoded.replies, row.replies) << row.what;
        EXPECT_EQ(decoded.answers, row.answers) << row.what;
        EXPECT_EQ(codec.ComPortAgreed(), row.comPort) << row.what;
    }
}

}  // namespace
