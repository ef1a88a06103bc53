#pragma once
#include <string>
#include <string_view>

namespace tessel {

// Encodes text for a link value: a space becomes "+", letters, digits, "-", "." and "_" stay, every
// other byte (UTF-8 sequences included) becomes "%" and two upper-case hexadecimal digits.
std::string UrlEncode(std::string_view text);

// Reverses UrlEncode: "%" with two hexadecimal digits becomes that byte and "+" a space. A "%" that
// is not followed by two hexadecimal digits is kept as written. A NUL, written or decoded, ends
// the text.
std::string UrlDecode(std::string_view text);

}  // namespace tessel
