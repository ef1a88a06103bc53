#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// Local paths as text: "/" between folders, nothing looked up on disk.
namespace tessel {

// The longest local path a request may name.
inline constexpr std::size_t kMaxLocalPath = 4096;

// The last component: the text after the last "/", trailing "/" ignored ("/srv/Music/" gives
// "Music"); the root "/" stays "/" and a path without "/" is its own last component.
std::string_view LastComponent(std::string_view path);

// "." and ".." resolved and repeated or trailing "/" dropped, by the text alone: checks made on
// the result judge the very path that is then opened, whatever links lie along it.
std::string NormalPath(const std::string& path);

// Whether normal path lies at or below normal root. Names are case-sensitive, and a separator
// must follow the root, so "/srv/Music2" is not inside "/srv/Music".
bool PathContains(std::string_view root, std::string_view path);

}  // namespace tessel
