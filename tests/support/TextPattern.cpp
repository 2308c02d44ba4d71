#include "tests/support/TextPattern.h"

#include <iterator>
#include <regex>

namespace text_pattern {

bool Found(const std::string& text, const std::string& pattern) {
    return std::regex_search(text, std::regex(pattern));
}

bool Whole(const std::string& text, const std::string& pattern) {
    return std::regex_match(text, std::regex(pattern));
}

std::vector<std::string> First(const std::string& text, const std::string& pattern) {
    std::smatch match;
    if (!std::regex_search(text, match, std::regex(pattern))) return {};
    std::vector<std::string> parts;
    for (const auto& part : match) parts.push_back(part.str());
    return parts;
}

std::size_t Count(const std::string& text, const std::string& pattern) {
    const std::regex compiled(pattern);
    return static_cast<std::size_t>(std::distance(
        std::sregex_iterator(text.begin(), text.end(), compiled), std::sregex_iterator()));
}

std::string Replace(const std::string& text, const std::string& pattern, const std::string& with) {
    return std::regex_replace(text, std::regex(pattern), with);
}

}  // namespace text_pattern
