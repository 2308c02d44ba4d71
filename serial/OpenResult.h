// What opening a line gives: the line, or null and why (see serial/LineError.h).
#pragma once

#include <memory>

#include "serial/LineError.h"

// Line is SerialLine, or a platform line for callers that need its own calls.
template <class Line>
struct OpenResult {
    std::shared_ptr<Line> line;  // null when the opening failed
    LineError error;             // kind None when line is set
};
