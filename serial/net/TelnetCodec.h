// Telnet with the COM-PORT-OPTION (RFC 854, 856, 858, 2217) as bytes only, no sockets: what the
// tool offers when it connects, the escaping of data and of command values, and the reading of
// what a server sends (data, option negotiation, COM-PORT answers).
//
// The tool wants BINARY both ways, SUPPRESS-GO-AHEAD both ways and COM-PORT-OPTION (it WILL,
// the server DOes); every other option a server offers or asks for is refused (DONT/WONT).
// A request is answered only when it changes the option's state, so that two sides never
// answer each other for ever. Not thread-safe: one reader feeds it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

class TelnetCodec {
  public:
    static constexpr std::uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251,
                                  kSb = 250, kSe = 240;
    static constexpr std::uint8_t kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;
    // COM-PORT commands as the client sends them; a server answers with the command + 100.
    enum Command : std::uint8_t {
        kSetBaudRate = 1,
        kSetDataSize = 2,
        kSetParity = 3,
        kSetStopSize = 4,
        kSetControl = 5,
        kNotifyLineState = 6,
        kSetLineStateMask = 10,
        kPurgeData = 12,
    };
    static constexpr std::uint8_t kServerOffset = 100;
    // The longest COM-PORT value kept: a subnegotiation that carries more (a server that never
    // ends one) is read to its end and dropped, so that it holds no more memory than this.
    static constexpr std::size_t kLongestValue = 64;

    // A COM-PORT subnegotiation from the server: its command (client command + 100) and value.
    struct ComPortAnswer {
        std::uint8_t command = 0;
        std::vector<std::uint8_t> value;
        friend bool operator==(const ComPortAnswer&, const ComPortAnswer&) = default;
    };
    // What one piece of the server's stream gave.
    struct Decoded {
        std::vector<std::uint8_t> data;     // the serial line's bytes, unescaped
        std::vector<std::uint8_t> replies;  // negotiation to send back at once
        std::vector<ComPortAnswer> answers;
    };

    // The offers the tool opens a connection with; they count as asked from then on.
    std::vector<std::uint8_t> Offers();
    // Reads the next piece of the server's stream, which may end anywhere (inside a command, a
    // subnegotiation, an escaped 0xFF); the rest is kept for the next piece.
    void Feed(std::span<const std::uint8_t> raw, Decoded& out);
    // True once the server has agreed that the tool sends COM-PORT commands.
    bool ComPortAgreed() const { return local_[kComPort] == State::Yes; }

    // Appends data with every 0xFF doubled.
    static void Escape(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out);
    // IAC SB COM-PORT-OPTION command value IAC SE, the value escaped.
    static std::vector<std::uint8_t> ComPortCommand(std::uint8_t command,
                                                    std::span<const std::uint8_t> value);

  private:
    enum class State : std::uint8_t { No, Asked, Yes };
    enum class Reading : std::uint8_t { Data, Iac, Option, Sub, SubIac };
    static bool Wanted(std::uint8_t option);
    void Negotiate(std::uint8_t verb, std::uint8_t option, Decoded& out);
    void KeepSubByte(std::uint8_t b);

    std::array<State, 256> local_{};   // options the tool performs (WILL)
    std::array<State, 256> remote_{};  // options the server performs (DO)
    Reading reading_ = Reading::Data;
    std::uint8_t verb_ = 0;          // WILL/WONT/DO/DONT whose option byte is awaited
    std::vector<std::uint8_t> sub_;  // the subnegotiation read so far, unescaped
    bool subTooLong_ = false;        // it went past kLongestValue: dropped at its end
};
