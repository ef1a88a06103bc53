#include "service/TransferText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/Utf8.h"
#include "res/StringIds.h"
#include "res/StringTable.h"
#include "store/SizeText.h"

namespace tessel::transfers {

namespace {

// The characters of text, for lining up columns.
std::size_t Width(std::string_view text) {
  std::size_t width = 0;
  for (std::size_t pos = 0; pos < text.size(); ++width) NextCodePoint(text, pos);
  return width;
}

std::string Replace(std::string text, std::string_view mark, std::string_view by) {
  if (const std::size_t at = text.find(mark); at != std::string::npos)
    text.replace(at, mark.size(), by);
  return text;
}

}  // namespace

std::string VisitorText(std::string_view account, std::string_view address) {
  if (account.empty()) return std::string(address);
  return std::string(account) + " (" + std::string(address) + ")";
}

std::string DirectionText(CTransferRegistry::Direction direction) {
  return res::String(direction == CTransferRegistry::Direction::kUpload
                         ? res::IDS_TRANSFER_UPLOAD
                         : res::IDS_TRANSFER_DOWNLOAD);
}

std::string BytesText(std::uint64_t bytes, std::int64_t total) {
  const std::string done = FormatSize(static_cast<std::int64_t>(bytes));
  if (total < 0) return done;
  return Replace(Replace(res::String(res::IDS_TRANSFER_BYTES), "%1", done), "%2",
                 FormatSize(total));
}

std::string SpeedText(double bytes_per_second) {
  if (!(bytes_per_second > 0)) return "";
  return FormatSize(std::llround(bytes_per_second)) + "/s";
}

std::string TimeLeftText(std::uint64_t bytes, std::int64_t total, double bytes_per_second) {
  if (total < 0 || !(bytes_per_second > 0)) return "";
  const std::uint64_t left =
      static_cast<std::uint64_t>(total) > bytes ? static_cast<std::uint64_t>(total) - bytes : 0;
  const double seconds_left = std::ceil(static_cast<double>(left) / bytes_per_second);
  // Beyond 99 hours a figure says nothing useful.
  if (seconds_left > 99 * 3600.0) return "";
  const auto seconds = static_cast<long>(seconds_left);
  char text[32];
  if (seconds >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", seconds / 60, seconds % 60);
  return text;
}

double AverageSpeed(const CTransferRegistry::Row& row, CTransferRegistry::Clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - row.start).count();
  // A transfer younger than a tenth of a second has no speed to speak of yet.
  if (seconds < 0.1) return 0;
  return static_cast<double>(row.bytes) / seconds;
}

std::vector<std::string> ColumnTitles() {
  std::vector<std::string> titles;
  for (int id : {res::IDS_COL_VISITOR, res::IDS_COL_ITEM, res::IDS_COL_DIRECTION,
                 res::IDS_COL_BYTES, res::IDS_COL_SPEED, res::IDS_COL_TIME_LEFT})
    titles.push_back(res::String(id));
  return titles;
}

std::vector<std::string> Cells(const CTransferRegistry::Row& row, double bytes_per_second) {
  return {
      VisitorText(row.account, row.address), row.item,
      DirectionText(row.direction),          BytesText(row.bytes, row.total),
      SpeedText(bytes_per_second),           TimeLeftText(row.bytes, row.total, bytes_per_second)};
}

std::string Table(const std::vector<CTransferRegistry::Row>& rows,
                  CTransferRegistry::Clock::time_point now) {
  if (rows.empty()) return res::String(res::IDS_TRANSFER_NONE) + "\n";
  std::vector<std::vector<std::string>> lines{ColumnTitles()};
  for (const CTransferRegistry::Row& row : rows)
    lines.push_back(Cells(row, AverageSpeed(row, now)));
  std::vector<std::size_t> widths(lines.front().size(), 0);
  for (const auto& line : lines)
    for (std::size_t column = 0; column < line.size(); ++column)
      widths[column] = std::max(widths[column], Width(line[column]));
  std::string text;
  for (const auto& line : lines) {
    std::string out;
    for (std::size_t column = 0; column < line.size(); ++column) {
      out += line[column];
      if (column + 1 < line.size()) out.append(widths[column] - Width(line[column]) + 2, ' ');
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    text += out + "\n";
  }
  return text;
}

}  // namespace tessel::transfers
