#include "serial/net/NetPortName.h"

std::optional<NetPortName> NetPortName::Parse(std::string_view name) {
    NetPortName parsed;
    constexpr std::string_view kRfc2217 = "rfc2217://";
    constexpr std::string_view kSocket = "socket://";
    if (name.starts_with(kRfc2217)) {
        name.remove_prefix(kRfc2217.size());
    } else if (name.starts_with(kSocket)) {
        parsed.mode = Mode::RawSocket;
        name.remove_prefix(kSocket.size());
    } else {
        return std::nullopt;
    }
    const std::size_t colon = name.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view host = name.substr(0, colon);
    const std::string_view port = name.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    } else if (host.find_first_of("[]:/") != std::string_view::npos) {
        return std::nullopt;  // an IPv6 address without brackets, or a path
    }
    if (host.empty() || port.empty() || port.size() > 5) return std::nullopt;
    unsigned long number = 0;
    for (const char c : port) {
        if (c < '0' || c > '9') return std::nullopt;
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (number == 0 || number > 65535) return std::nullopt;
    parsed.host = std::string(host);
    parsed.port = static_cast<std::uint16_t>(number);
    return parsed;
}
