// The progress bar of kavlet-flash's terminal lines: '#' for what is sent, '.' for the rest.
#pragma once

#include <cstdint>
#include <string>

namespace flash {

// width characters for shown of total bytes (a total of 0 shows an empty bar).
std::string TextBar(std::int64_t shown, std::int64_t total, int width);
// shown of total in whole percent, rounded down; 100 for a total of 0.
int WholePercent(std::int64_t shown, std::int64_t total);

}  // namespace flash
