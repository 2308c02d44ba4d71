#include "cli/PlanFile.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <utility>

#include "cli/FlashOptions.h"
#include "upgrade/PelcoCommand.h"

namespace flash {
namespace {

constexpr std::array<std::string_view, 5> kNeeded = {"port", "address", "protocol", "speed",
                                                     "image"};

struct Record {
    unsigned line = 0;
    std::vector<std::string> cells;
};

// Unquoted cells lose the blanks around them.
std::string Trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

// A sentence after "FILE:LINE: ", in lower case as it goes on ("The speed" -> "the speed").
std::string Continued(std::string sentence) {
    if (sentence.size() > 1 && sentence[0] >= 'A' && sentence[0] <= 'Z' && sentence[1] >= 'a' &&
        sentence[1] <= 'z')
        sentence[0] = static_cast<char>(sentence[0] - 'A' + 'a');
    return sentence;
}

// The records of the text, comment and blank lines left out; a quote left open is a problem.
std::vector<Record> Records(std::string_view text, std::string* openQuote) {
    std::vector<Record> records;
    unsigned line = 1;
    std::size_t at = 0;
    while (at < text.size()) {
        // A comment or a blank line: the line is left out.
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view whole = text.substr(at, end - at);
        const std::string trimmed = Trimmed(whole.substr(0, whole.find_last_not_of('\r') + 1));
        if (trimmed.empty() || trimmed.front() == '#') {
            at = end + 1;
            ++line;
            continue;
        }
        Record record{line, {}};
        std::string cell;
        bool quoted = false, wasQuoted = false, ended = false;
        const unsigned startLine = line;
        while (!ended) {
            if (at >= text.size()) {
                if (quoted) {
                    *openQuote = std::to_string(startLine);
                    return records;
                }
                ended = true;
                break;
            }
            const char c = text[at++];
            if (quoted) {
                if (c == '"' && at < text.size() && text[at] == '"') {
                    cell += '"';
                    ++at;
                } else if (c == '"') {
                    quoted = false;
                } else {
                    if (c == '\n') ++line;
                    cell += c;
                }
                continue;
            }
            if (c == '"' && Trimmed(cell).empty()) {
                quoted = wasQuoted = true;
                cell.clear();
            } else if (c == ',') {
                record.cells.push_back(wasQuoted ? cell : Trimmed(cell));
                cell.clear();
                wasQuoted = false;
            } else if (c == '\n') {
                ++line;
                ended = true;
            } else if (c != '\r' || (at < text.size() && text[at] != '\n')) {
                cell += c;
            }
        }
        record.cells.push_back(wasQuoted ? cell : Trimmed(cell));
        records.push_back(std::move(record));
    }
    return records;
}

bool Absolute(const std::string& path) {
    if (path.starts_with('/') || path.starts_with('\\')) return true;
    return path.size() > 1 && path[1] == ':' &&
           ((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z'));
}

std::string Folder(const std::string& planPath) {
    const std::size_t slash = planPath.find_last_of("/\\");
    return slash == std::string::npos ? std::string{} : planPath.substr(0, slash + 1);
}

}  // namespace

Plan ReadPlan(std::string_view text, const std::string& planPath) {
    Plan plan;
    const auto problem = [&](unsigned line, const std::string& what) {
        plan.problems.push_back(planPath + ":" + std::to_string(line) + ": " + what);
    };
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    std::string openQuote;
    const std::vector<Record> records = Records(text, &openQuote);
    if (!openQuote.empty())
        problem(static_cast<unsigned>(std::stoul(openQuote)),
                "a quoted cell is not closed before the end of the file.");
    if (records.empty()) {
        if (openQuote.empty())
            plan.problems.push_back(planPath +
                                    ": the plan has no header line (port,address,protocol,"
                                    "speed,image).");
        return plan;
    }

    // The header: each column once, the five needed there.
    const Record& header = records.front();
    std::map<std::string, std::size_t> columns;
    for (std::size_t i = 0; i < header.cells.size(); ++i) {
        const std::string& name = header.cells[i];
        if (std::find(kNeeded.begin(), kNeeded.end(), name) == kNeeded.end() && name != "name")
            problem(header.line, "the column \"" + name +
                                     "\" is unknown (port, address, protocol, speed, image, "
                                     "name).");
        else if (!columns.emplace(name, i).second)
            problem(header.line, "the column \"" + name + "\" is named twice.");
    }
    for (const std::string_view needed : kNeeded)
        if (!columns.count(std::string(needed)))
            problem(header.line, "the header names no column \"" + std::string(needed) + "\".");
    if (!plan.problems.empty()) return plan;

    std::map<std::pair<std::string, unsigned>, unsigned> seen;  // port and address: line
    const std::string folder = Folder(planPath);
    for (std::size_t r = 1; r < records.size(); ++r) {
        const Record& record = records[r];
        if (record.cells.size() != header.cells.size()) {
            problem(record.line, std::to_string(record.cells.size()) +
                                     (record.cells.size() == 1 ? " cell" : " cells") +
                                     ", but the header names " +
                                     std::to_string(header.cells.size()) + " columns.");
            continue;
        }
        const auto cell = [&](std::string_view column) -> const std::string& {
            return record.cells[columns.at(std::string(column))];
        };
        const auto wrong = [&](std::string_view column, const std::string& sentence) {
            problem(record.line, "column " + std::string(column) + ": " + Continued(sentence));
        };
        PlanRow row;
        row.line = record.line;
        if (columns.count("name")) row.name = cell("name");
        std::string error;
        bool good = true;
        row.port = cell("port");
        if (row.port.empty()) {
            wrong("port", "no port is named.");
            good = false;
        } else if (!CheckPortName(row.port, &error)) {
            wrong("port", error);
            good = false;
        }
        const auto addresses = ParseAddressList(cell("address"), &error);
        if (!addresses) {
            wrong("address", error);
            good = false;
        } else if (addresses->size() != 1) {
            wrong("address", "\"" + cell("address") + "\" names " +
                                 std::to_string(addresses->size()) +
                                 " heads; a row names one head.");
            good = false;
        } else {
            row.address = addresses->front();
        }
        if (const auto protocol = ReadProtocolIndex(cell("protocol"), &error)) {
            row.protocolIndex = *protocol;
        } else {
            wrong("protocol", error);
            good = false;
        }
        if (const auto speed = ReadSpeedIndex(cell("speed"), &error)) {
            row.speedIndex = *speed;
            row.speed = DEVICE_SPEED_TABLE[*speed];
        } else {
            wrong("speed", error);
            good = false;
        }
        row.image = cell("image");
        if (row.image.empty()) {
            wrong("image", "no image is named.");
            good = false;
        }
        row.path = Absolute(row.image) ? row.image : folder + row.image;
        if (!good) continue;
        const auto [earlier, added] = seen.emplace(std::pair{row.port, row.address}, row.line);
        if (!added) {
            wrong("address", "the port " + row.port + " and the address " +
                                 std::to_string(row.address) + " are named on line " +
                                 std::to_string(earlier->second) + " already.");
            continue;
        }
        plan.rows.push_back(std::move(row));
    }
    if (plan.problems.empty() && plan.rows.empty())
        plan.problems.push_back(planPath + ": the plan names no head: it has a header only.");
    if (!plan.problems.empty()) plan.rows.clear();
    return plan;
}

}  // namespace flash
