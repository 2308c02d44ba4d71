// What a virtual head has seen that only a fault of the tool causes: a frame whose sum does not
// match what it carries (on a line that loses and adds nothing), or a greeting at another speed
// than the loader's (the speeds switched in the wrong order). A probe for WaitBreaker:
//     std::optional<WaitBreaker> breaker;  breaker.emplace(ToolFaultProbe(*head));
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "tools/head/VirtualBus.h"
#include "tools/head/VirtualHead.h"

namespace tool_fault {

// Whether the report shows a fault of the tool: for a wait on the head itself (WaitFor), which
// a wait breaker cannot end.
inline bool Seen(const head::HeadReport& r) {
    return r.checksumErrors > 0 || r.strayGreetings > 0;
}

// Looks at a report under its head's lock, without copying it.
using Peek = std::function<void(const std::function<void(const head::HeadReport&)>&)>;

inline std::string Probe(const Peek& peek, const std::string& whose) {
    std::string what;
    peek([&](const head::HeadReport& r) {
        if (r.checksumErrors > 0) {
            what = "got a frame whose sum is wrong";
        } else if (r.strayGreetings > 0) {
            what = "got a greeting at another speed than the loader's";
        } else {
            return;
        }
        what = whose + " " + what + "; its last events:\n";
        const std::size_t n = r.events.size();
        for (std::size_t i = n > 12 ? n - 12 : 0; i < n; ++i) what += "  " + r.events[i] + "\n";
    });
    return what;
}

}  // namespace tool_fault

inline std::function<std::string()> ToolFaultProbe(const head::VirtualHead& head) {
    return [&head] {
        return tool_fault::Probe(
            [&](const auto& look) {
                head.WaitFor([&](const head::HeadReport& r) { return look(r), true; },
                             std::chrono::milliseconds(0));
            },
            "the head");
    };
}

inline std::function<std::string()> ToolFaultProbe(const head::VirtualBus& bus) {
    return [&bus] {
        for (const unsigned address : bus.Addresses()) {
            std::string what = tool_fault::Probe(
                [&](const auto& look) {
                    bus.WaitFor(
                        address, [&](const head::HeadReport& r) { return look(r), true; },
                        std::chrono::milliseconds(0));
                },
                "head " + std::to_string(address));
            if (!what.empty()) return what;
        }
        return std::string();
    };
}
