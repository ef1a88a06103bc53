#pragma once
#include <string>

namespace tessel {

// The present moment in local time as "YYYY-MM-DD HH:MM:SS"; such texts sort in time order.
std::string CurrentTimeStamp();

}  // namespace tessel
