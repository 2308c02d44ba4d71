// Where the minimised window draws its icon: centred in the client area, computed in signed
// 32-bit arithmetic with division truncating toward zero (width 0, icon 32: x = -15).
#pragma once

#include <cstdint>

struct IconPosition {
    std::int32_t x;
    std::int32_t y;
};

constexpr IconPosition CenteredIconPosition(std::int32_t clientWidth, std::int32_t clientHeight,
                                            std::int32_t iconWidth, std::int32_t iconHeight) {
    return {(clientWidth - iconWidth + 1) / 2, (clientHeight - iconHeight + 1) / 2};
}
