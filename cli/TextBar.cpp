#include "cli/TextBar.h"

#include <algorithm>

namespace flash {

std::string TextBar(std::int64_t shown, std::int64_t total, int width) {
    const int filled = static_cast<int>(shown * width / std::max<std::int64_t>(total, 1));
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(static_cast<std::size_t>(width), '.');
    return bar;
}

int WholePercent(std::int64_t shown, std::int64_t total) {
    return total > 0 ? static_cast<int>(shown * 100 / total) : 100;
}

}  // namespace flash
