// A plan for kavlet-flash --plan: a CSV file with a row a head. Its header names the columns
// port, address, protocol, speed and image in any order, and name if wanted; lines starting
// with # and blank lines are left out; cells may be quoted as in RFC 4180 (commas, quotes and
// line ends inside); UTF-8 with or without a byte order mark, lines ending in CR LF or LF.
// Pure functions: text in, rows or the sentences saying what is wrong out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace flash {

struct PlanRow {
    unsigned line = 0;  // where the row begins in the file, from 1
    std::string name;   // the operator's label, if any
    std::string port;
    std::uint8_t address = 1;
    std::uint8_t protocolIndex = 1;  // as FlashOptions::protocolIndex
    std::uint32_t speed = 2400;
    std::uint8_t speedIndex = 0;
    std::string image;  // as written in the plan
    std::string path;   // where it is read: relative to the plan's folder
};

struct Plan {
    std::vector<PlanRow> rows;          // in the plan's order
    std::vector<std::string> problems;  // "FILE:LINE: column C: ...", one a wrong cell
};

// Reads the plan text of the file planPath (as the operator named it, for the sentences and
// for the folder images are relative to). Rows are only given when there is no problem.
Plan ReadPlan(std::string_view text, const std::string& planPath);

}  // namespace flash
