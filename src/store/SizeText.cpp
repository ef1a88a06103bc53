#include "store/SizeText.h"

#include <langinfo.h>
#include <locale.h>

#include <charconv>
#include <climits>

namespace {

// Fixed-point text rounded as printf rounds, but independent of the process's locale (the
// window library sets it from the environment, which could turn "1.5" into "1,5").
std::string Fixed(double value, int decimals) {
  char text[64];
  auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
  return std::string(text, result.ptr);
}

}  // namespace

std::string FormatSize(int64_t bytes) {
  double n = static_cast<double>(bytes);
  if (bytes > 104857600) return Fixed(n / 1024 / 1024, 0) + " M";
  if (bytes > 1048576) return Fixed(n / 1024 / 1024, 1) + " M";
  if (bytes > 102400) return Fixed(n / 1024, 0) + " K";
  if (bytes > 103) return Fixed(n / 1024, 1) + " K";
  if (bytes > 0) return "0.1 K";
  return "0 K";
}

const tessel::NumberGrouping& tessel::UserNumberGrouping() {
  static const NumberGrouping grouping = [] {
    NumberGrouping user;
    locale_t locale = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
    if (locale == static_cast<locale_t>(0)) return user;
    const char* separator = nl_langinfo_l(THOUSEP, locale);
    const char* sizes = nl_langinfo_l(GROUPING, locale);
    if (separator && sizes && sizes[0] > 0 && sizes[0] != CHAR_MAX) {
      user.separator = separator;
      user.group_size = sizes[0];
    }
    freelocale(locale);
    return user;
  }();
  return grouping;
}

std::string FormatNumber(uint64_t number) {
  return FormatNumber(number, tessel::UserNumberGrouping());
}

std::string FormatNumber(uint64_t number, const tessel::NumberGrouping& grouping) {
  std::string digits = std::to_string(number);
  if (grouping.separator.empty() || grouping.group_size <= 0) return digits;
  size_t size = static_cast<size_t>(grouping.group_size);
  std::string text;
  size_t first = digits.size() % size;
  if (first == 0) first = size;
  text = digits.substr(0, first);
  for (size_t i = first; i < digits.size(); i += size) {
    text += grouping.separator + digits.substr(i, size);
  }
  return text;
}
