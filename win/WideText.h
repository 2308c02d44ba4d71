// UTF-8 inside the tool, UTF-16 in Windows' calls: the conversions at that boundary.
#pragma once

#include <string>
#include <string_view>

std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view utf16);
