#pragma once
#include <string_view>

namespace tessel::res {

// The bytes of the resource file res/<name> compiled into the program; empty when there is none.
std::string_view Find(std::string_view name);

}  // namespace tessel::res
