#pragma once

#include <cstdint>
#include <string>

namespace tessel {

// How the digits of a number are grouped: separator between groups of group_size digits from
// the right; no grouping when the separator is empty or the size is not positive.
struct NumberGrouping {
  std::string separator;
  int group_size = 0;
};

// The grouping of the user's locale (LC_ALL, LC_NUMERIC, LANG), read once: its thousands
// separator and the first number of its grouping. None when the locale is unknown or "C".
const NumberGrouping& UserNumberGrouping();

}  // namespace tessel

// A short size text for a byte count: "0 K" up to 0 bytes, "0.1 K" up to 103, then kibibytes
// with one decimal ("1.5 K") up to 100 K, whole kibibytes up to 1 MiB, mebibytes with one decimal
// up to 100 M and whole mebibytes beyond ("5120 M"). The decimal point is always ".".
std::string FormatSize(int64_t bytes);

// The number in decimal with the digits grouped as the user's locale groups them, or as given.
std::string FormatNumber(uint64_t number);
std::string FormatNumber(uint64_t number, const tessel::NumberGrouping& grouping);
