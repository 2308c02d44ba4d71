#include "serial/net/TelnetCodec.h"

bool TelnetCodec::Wanted(std::uint8_t option) {
    return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}

std::vector<std::uint8_t> TelnetCodec::Offers() {
    std::vector<std::uint8_t> out;
    for (const std::uint8_t option : {kBinary, kSuppressGoAhead, kComPort}) {
        local_[option] = State::Asked;
        out.insert(out.end(), {kIac, kWill, option});
        if (option == kComPort) continue;  // the server performs no COM-PORT of its own
        remote_[option] = State::Asked;
        out.insert(out.end(), {kIac, kDo, option});
    }
    return out;
}

void TelnetCodec::Negotiate(std::uint8_t verb, std::uint8_t option, Decoded& out) {
    // WILL/WONT speak of the server's side (remote_), DO/DONT of the tool's (local_).
    const bool aboutServer = verb == kWill || verb == kWont;
    State& state = aboutServer ? remote_[option] : local_[option];
    const bool yes = verb == kWill || verb == kDo;
    const bool accept = yes && Wanted(option) && !(aboutServer && option == kComPort);
    const std::uint8_t agree = aboutServer ? kDo : kWill;
    const std::uint8_t refuse = aboutServer ? kDont : kWont;
    if (yes && accept) {
        if (state == State::No) out.replies.insert(out.replies.end(), {kIac, agree, option});
        state = State::Yes;
    } else {
        // A refusal of what the tool asked for, or a request it does not take: answered only
        // when the state changes (an answer to the tool's own request is none).
        if (state == State::Yes || (yes && state == State::No))
            out.replies.insert(out.replies.end(), {kIac, refuse, option});
        state = State::No;
    }
}

void TelnetCodec::Feed(std::span<const std::uint8_t> raw, Decoded& out) {
    for (const std::uint8_t b : raw) {
        switch (reading_) {
            case Reading::Data:
                if (b == kIac) {
                    reading_ = Reading::Iac;
                } else {
                    out.data.push_back(b);
                }
                break;
            case Reading::Iac:
                reading_ = Reading::Data;
                if (b == kIac) {
                    out.data.push_back(kIac);
                } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
                    verb_ = b;
                    reading_ = Reading::Option;
                } else if (b == kSb) {
                    sub_.clear();
                    subTooLong_ = false;
                    reading_ = Reading::Sub;
                }  // NOP, GA and the other commands carry nothing for the line
                break;
            case Reading::Option:
                Negotiate(verb_, b, out);
                reading_ = Reading::Data;
                break;
            case Reading::Sub:
                if (b == kIac) {
                    reading_ = Reading::SubIac;
                } else {
                    KeepSubByte(b);
                }
                break;
            case Reading::SubIac:
                if (b == kIac) {
                    KeepSubByte(kIac);
                    reading_ = Reading::Sub;
                    break;
                }
                // IAC SE ends it; any other command ends it too (a server that forgot SE).
                reading_ = Reading::Data;
                if (!subTooLong_ && sub_.size() >= 2 && sub_[0] == kComPort)
                    out.answers.push_back({sub_[1], {sub_.begin() + 2, sub_.end()}});
                sub_.clear();
                break;
        }
    }
}

void TelnetCodec::KeepSubByte(std::uint8_t b) {
    // The option, the command, then the value.
    if (sub_.size() < 2 + kLongestValue) {
        sub_.push_back(b);
    } else {
        subTooLong_ = true;
    }
}

void TelnetCodec::Escape(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out) {
    out.reserve(out.size() + data.size());
    for (const std::uint8_t b : data) {
        out.push_back(b);
        if (b == kIac) out.push_back(kIac);
    }
}

std::vector<std::uint8_t> TelnetCodec::ComPortCommand(std::uint8_t command,
                                                      std::span<const std::uint8_t> value) {
    std::vector<std::uint8_t> out = {kIac, kSb, kComPort, command};
    Escape(value, out);
    out.insert(out.end(), {kIac, kSe});
    return out;
}
