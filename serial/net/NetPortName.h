// A port on a serial device server, named by a URL: "rfc2217://HOST:PORT" (Telnet with the
// COM-PORT-OPTION, the line settings sent to the server) or "socket://HOST:PORT" (raw TCP to a
// server port set up beforehand). HOST is a name, an IPv4 address or an IPv6 address in
// brackets ("[::1]"); PORT a number from 1 to 65535.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct NetPortName {
    enum class Mode { Rfc2217, RawSocket };
    Mode mode = Mode::Rfc2217;
    std::string host;  // without the brackets of an IPv6 address
    std::uint16_t port = 0;

    // The parts of a network port name, or nothing for any other name (a local device's, or a
    // URL that is not whole).
    static std::optional<NetPortName> Parse(std::string_view name);
};
