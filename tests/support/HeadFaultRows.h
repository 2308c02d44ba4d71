// The faults a virtual head plays in the fault matrices (the presenter's, the window's): one
// builder a kind, and the image sizes the rows use.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "tools/head/VirtualHead.h"

namespace fault_rows {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

constexpr std::size_t kThree = 10000;  // three frames, the last one short
constexpr std::size_t kExact = 8192;   // two full frames
constexpr std::size_t kOne = 3000;     // one frame

inline head::HeadFaults Reject(unsigned frame, std::uint8_t code) {
    head::HeadFaults f;
    f.rejectFrame = frame;
    f.rejectCode = code;
    return f;
}
inline head::HeadFaults FailAt(unsigned point, std::uint8_t code) {
    head::HeadFaults f;
    f.failAt = point;
    f.failCode = code;
    return f;
}
inline head::HeadFaults Xoff(unsigned frame, std::chrono::milliseconds pause) {
    head::HeadFaults f;
    f.xoffFrame = frame;
    f.xoffAfterBytes = 1000;
    f.xoffPause = pause;
    return f;
}
inline head::HeadFaults Silent(unsigned from) {
    head::HeadFaults f;
    f.silentFrom = from;
    return f;
}
inline head::HeadFaults Garbage(unsigned at, bool before,
                                Bytes bytes = {0x85, 0x00, 0x55, 0xAA, 0x7E}) {
    head::HeadFaults f;
    f.garbageAt = at;
    f.garbageBeforeAnswer = before;
    f.garbageBytes = std::move(bytes);
    f.garbageGap = 30ms;
    return f;
}
inline head::HeadFaults Merge(unsigned at, Bytes bytes, bool before) {
    head::HeadFaults f;
    f.mergeAt = at;
    f.mergeBytes = std::move(bytes);
    f.mergeBefore = before;
    return f;
}
inline head::HeadFaults Unprompted(unsigned frame, std::uint8_t code) {
    head::HeadFaults f;
    f.unpromptedFrame = frame;
    f.unpromptedAfterBytes = 2000;
    f.unpromptedCode = code;
    return f;
}
inline head::HeadFaults Echo(unsigned frame, std::chrono::milliseconds delay) {
    head::HeadFaults f;
    f.echoFrame = frame;
    f.echoDelay = delay;
    return f;
}
inline head::HeadFaults WithholdDone() {
    head::HeadFaults f;
    f.withholdDone = true;
    return f;
}

}  // namespace fault_rows
