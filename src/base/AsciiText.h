#pragma once
#include <string_view>

// ASCII text rules shared by the protocols we speak: HTTP's method, header and route names, SSDP
// and SOAP headers, XML element names, SQL keywords. Bytes outside ASCII (UTF-8 included) are
// left as they are.
namespace tessel {

// 'A' to 'Z' become 'a' to 'z'; every other byte stays.
char FoldCase(char c);
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// The text without the leading, trailing or both runs of the given blanks.
inline constexpr std::string_view kBlanks = " \t";
std::string_view TrimLeft(std::string_view text, std::string_view blanks = kBlanks);
std::string_view TrimRight(std::string_view text, std::string_view blanks = kBlanks);
std::string_view Trim(std::string_view text, std::string_view blanks = kBlanks);

}  // namespace tessel
