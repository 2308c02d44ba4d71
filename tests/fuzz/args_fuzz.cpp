// libFuzzer target for kavlet-flash's command line and its plan files. The first byte chooses:
// even, the rest is an argument list (split at each NUL) for flash::ParseArguments, which must
// give either a run description or one sentence for the operator (exit status 2), never both
// nor neither; odd, the rest is a plan file for flash::ReadPlan, which must give either rows or
// problems, each problem naming the file and a line of it ("FILE:LINE: ...") unless it is of the
// whole file ("FILE: ..."), each row a line
// of the file and an address of a head.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cli/FlashOptions.h"
#include "cli/PlanFile.h"

namespace {

[[noreturn]] void Finding(const char* what, std::string_view detail) {
    std::fprintf(stderr, "args_fuzz finding: %s: %.*s\n", what, static_cast<int>(detail.size()),
                 detail.data());
    std::abort();
}

void Arguments(std::string_view rest) {
    std::vector<std::string> arguments;
    for (std::size_t at = 0; at <= rest.size();) {
        const std::size_t end = std::min(rest.find('\0', at), rest.size());
        arguments.emplace_back(rest.substr(at, end - at));
        at = end + 1;
    }
    const flash::ParsedArguments parsed = flash::ParseArguments(arguments);
    if (parsed.options.has_value() == !parsed.error.empty())
        Finding("a run description and a sentence, or neither", parsed.error);
    if (!parsed.options) {
        if (parsed.error.find('\n') != std::string::npos)
            Finding("more than one line", parsed.error);
        return;
    }
    for (const std::uint8_t address : parsed.options->addresses)
        if (address == 0) Finding("address 0 taken", "");
    if (parsed.options->protocolIndex > 1) Finding("a protocol that does not exist", "");
}

void PlanText(std::string_view text) {
    const std::string path = "heads.csv";
    const flash::Plan plan = flash::ReadPlan(text, path);
    if (!plan.rows.empty() && !plan.problems.empty()) Finding("rows despite problems", "");
    const auto lines = static_cast<unsigned>(std::count(text.begin(), text.end(), '\n') +
                                             std::count(text.begin(), text.end(), '\r') + 1);
    for (const std::string& problem : plan.problems) {
        if (problem.rfind(path + ":", 0) != 0) Finding("a problem without the file", problem);
        const std::string_view rest = std::string_view(problem).substr(path.size() + 1);
        if (rest.rfind(' ', 0) == 0) continue;  // of the whole file ("FILE: the plan has no ...")
        const std::size_t digits = rest.find_first_not_of("0123456789");
        if (digits == 0 || digits == std::string_view::npos || rest[digits] != ':')
            Finding("a problem without a line", problem);
        const unsigned long line = std::stoul(std::string(rest.substr(0, digits)));
        if (line == 0 || line > lines) Finding("a line outside the file", problem);
    }
    for (const flash::PlanRow& row : plan.rows) {
        if (row.line == 0 || row.line > lines) Finding("a row outside the file", row.port);
        if (row.address == 0) Finding("address 0 in a row", row.port);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] % 2 == 0) {
        Arguments(rest);
    } else {
        PlanText(rest);
    }
    return 0;
}
