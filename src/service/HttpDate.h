#pragma once
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// The dates of HTTP headers (Last-Modified, If-Modified-Since), in GMT and English whatever the
// process locale says.
namespace tessel {

// "Sun, 06 Nov 1994 08:49:37 GMT".
std::string FormatHttpDate(std::time_t time);

// Reads the three forms HTTP allows: "Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94
// 08:49:37 GMT" and "Sun Nov  6 08:49:37 1994". Anything else (or a date before 1970) is none.
std::optional<std::time_t> ParseHttpDate(std::string_view text);

}  // namespace tessel
