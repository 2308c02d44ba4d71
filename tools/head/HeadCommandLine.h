// The kavlet-head program's command line, turned into HeadOptions.
#pragma once

#include <string>
#include <vector>

#include "tools/head/HeadOptions.h"

namespace head {

struct HeadCommandLine {
    HeadOptions options;
    std::string attachPath;  // empty: make a pseudo-terminal
    bool help = false;
    bool quiet = false;  // print no event lines, only the port and the summary
};

// args without the program name. False with *error set on a wrong or unknown option.
bool ParseHeadCommandLine(const std::vector<std::string>& args, HeadCommandLine* result,
                          std::string* error);

// The --help text: every option with its default.
std::string HeadUsage();

}  // namespace head
