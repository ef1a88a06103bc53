#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "service/TransferRegistry.h"

// The texts of the transfers table, the same in the window's list and in the table printed
// headless, in the language of the string table.
namespace tessel::transfers {

// "ann (192.168.1.20)", or the address alone for a visitor without an account.
std::string VisitorText(std::string_view account, std::string_view address);
std::string DirectionText(CTransferRegistry::Direction direction);
// "1.5 M of 10 M", or the bytes alone while the total is not known.
std::string BytesText(std::uint64_t bytes, std::int64_t total);
// "1.5 M/s"; empty before anything has moved.
std::string SpeedText(double bytes_per_second);
// "0:42", "12:05", "1:02:03"; empty while the total or the speed is not known.
std::string TimeLeftText(std::uint64_t bytes, std::int64_t total, double bytes_per_second);
// The average speed of a transfer from its start to now.
double AverageSpeed(const CTransferRegistry::Row& row, CTransferRegistry::Clock::time_point now);

// The column titles, and one row's cells, in the list's order.
std::vector<std::string> ColumnTitles();
std::vector<std::string> Cells(const CTransferRegistry::Row& row, double bytes_per_second);

// The rows as a table of text, a line each under a title line, columns aligned, speeds
// averaged since each transfer began; a line that says so when there are none.
std::string Table(const std::vector<CTransferRegistry::Row>& rows,
                  CTransferRegistry::Clock::time_point now);

}  // namespace tessel::transfers
