#include "service/HttpDate.h"

#include <array>
#include <cstdio>

namespace tessel {
namespace {

constexpr std::array<std::string_view, 7> kDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Reads what stands at the front of text and removes it; each is false when text does not fit.
class Reader {
 public:
  explicit Reader(std::string_view text) : m_text(text) {}

  bool Literal(std::string_view word) {
    if (m_text.substr(0, word.size()) != word) return false;
    m_text.remove_prefix(word.size());
    return true;
  }
  // A number of digits digits, or of 1 to 2 when digits is 0 (a day padded with a space).
  bool Number(int digits, int& value) {
    if (digits == 0 && !m_text.empty() && m_text[0] == ' ') m_text.remove_prefix(1);
    const std::size_t most = digits == 0 ? 2 : static_cast<std::size_t>(digits);
    std::size_t count = 0;
    value = 0;
    while (count < most && count < m_text.size() && m_text[count] >= '0' && m_text[count] <= '9')
      value = value * 10 + (m_text[count++] - '0');
    if (count == 0 || (digits != 0 && count != most)) return false;
    m_text.remove_prefix(count);
    return true;
  }
  bool Month(int& month) {
    for (std::size_t i = 0; i < kMonths.size(); ++i)
      if (Literal(kMonths[i])) {
        month = static_cast<int>(i);
        return true;
      }
    return false;
  }
  // A day name: the short one, or any letters up to the next separator (RFC 850's "Sunday").
  bool DayName() {
    std::size_t letters = 0;
    while (letters < m_text.size() && ((m_text[letters] >= 'A' && m_text[letters] <= 'Z') ||
                                       (m_text[letters] >= 'a' && m_text[letters] <= 'z')))
      ++letters;
    if (letters < 3) return false;
    m_text.remove_prefix(letters);
    return true;
  }
  bool Time(std::tm& fields) {
    return Number(2, fields.tm_hour) && Literal(":") && Number(2, fields.tm_min) && Literal(":") &&
           Number(2, fields.tm_sec);
  }
  bool AtEnd() const { return m_text.empty(); }

 private:
  std::string_view m_text;
};

// Seconds since the epoch of a broken-down GMT time, or none when a field is out of range.
std::optional<std::time_t> FromFields(std::tm fields) {
  static constexpr int kDaysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const long long year = fields.tm_year + 1900LL;
  if (year < 1970 || fields.tm_mon < 0 || fields.tm_mon > 11 || fields.tm_mday < 1 ||
      fields.tm_hour > 23 || fields.tm_min > 59 || fields.tm_sec > 60)
    return std::nullopt;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (fields.tm_mday > kDaysIn[fields.tm_mon] + (fields.tm_mon == 1 && leap ? 1 : 0))
    return std::nullopt;
  const std::time_t time = timegm(&fields);
  if (time == static_cast<std::time_t>(-1)) return std::nullopt;
  return time;
}

}  // namespace

std::string FormatHttpDate(std::time_t time) {
  std::tm fields{};
  if (gmtime_r(&time, &fields) == nullptr) return {};
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT",
                kDays[static_cast<std::size_t>(fields.tm_wday) % 7].data(), fields.tm_mday,
                kMonths[static_cast<std::size_t>(fields.tm_mon) % 12].data(), fields.tm_year + 1900,
                fields.tm_hour, fields.tm_min, fields.tm_sec);
  return text;
}

std::optional<std::time_t> ParseHttpDate(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  std::tm fields{};
  int year = 0;
  // "Sun, 06 Nov 1994 08:49:37 GMT"
  {
    Reader in(text);
    if (in.DayName() && in.Literal(", ") && in.Number(2, fields.tm_mday) && in.Literal(" ") &&
        in.Month(fields.tm_mon) && in.Literal(" ") && in.Number(4, year) && in.Literal(" ") &&
        in.Time(fields) && in.Literal(" GMT") && in.AtEnd()) {
      fields.tm_year = year - 1900;
      return FromFields(fields);
    }
  }
  // "Sunday, 06-Nov-94 08:49:37 GMT": two-digit years from 70 on are of the 1900s.
  {
    Reader in(text);
    if (in.DayName() && in.Literal(", ") && in.Number(2, fields.tm_mday) && in.Literal("-") &&
        in.Month(fields.tm_mon) && in.Literal("-") && in.Number(2, year) && in.Literal(" ") &&
        in.Time(fields) && in.Literal(" GMT") && in.AtEnd()) {
      fields.tm_year = year < 70 ? year + 100 : year;
      return FromFields(fields);
    }
  }
  // "Sun Nov  6 08:49:37 1994"
  {
    Reader in(text);
    if (in.DayName() && in.Literal(" ") && in.Month(fields.tm_mon) && in.Literal(" ") &&
        in.Number(0, fields.tm_mday) && in.Literal(" ") && in.Time(fields) && in.Literal(" ") &&
        in.Number(4, year) && in.AtEnd()) {
      fields.tm_year = year - 1900;
      return FromFields(fields);
    }
  }
  return std::nullopt;
}

}  // namespace tessel
