// The kavlet-head program's command line, turned into HeadOptions.
#pragma once

#include <string>
#include <vector>

#include "tools/head/HeadOptions.h"

namespace head {

struct HeadCommandLine {
    HeadOptions options;
    // With --bus: the heads on the line, one entry a head in the order given (each with the
    // common settings and its own faults); empty for a head of its own (options).
    std::vector<HeadOptions> bus;
    std::string attachPath;  // empty: make a pseudo-terminal
    bool help = false;
    bool quiet = false;  // print no event lines, only the port and the summary
};

// args without the program name. False with *error set on a wrong or unknown option.
bool ParseHeadCommandLine(const std::vector<std::string>& args, HeadCommandLine* result,
                          std::string* error);

// The file a head on a bus writes its image to: the address put in before the extension
// ("out.bin" -> "out-2.bin", "out" -> "out-2").
std::string BusOutputPath(const std::string& path, unsigned address);

// The --help text: every option with its default.
std::string HeadUsage();

}  // namespace head
