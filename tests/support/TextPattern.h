// Regular expressions (ECMAScript grammar) over the text a program printed, for the tests that
// read it. Compiled here once: <regex> costs every file that includes it seconds of compiling.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace text_pattern {

// Whether pattern matches somewhere in text.
bool Found(const std::string& text, const std::string& pattern);
// Whether pattern matches the whole of text.
bool Whole(const std::string& text, const std::string& pattern);
// The first match in text: the whole match, then each group; empty when there is none.
std::vector<std::string> First(const std::string& text, const std::string& pattern);
// How many times pattern matches in text, the matches not overlapping.
std::size_t Count(const std::string& text, const std::string& pattern);
// text with every match of pattern replaced by with.
std::string Replace(const std::string& text, const std::string& pattern, const std::string& with);

}  // namespace text_pattern
