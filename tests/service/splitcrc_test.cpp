// The CRC-32 summed in two halves on two threads equals zlib's in one go.
#include "service/SplitCrc.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

std::uint32_t ZlibCrc(std::uint32_t crc, const std::string& data, std::size_t from,
                      std::size_t size) {
  return static_cast<std::uint32_t>(
      crc32_z(crc, reinterpret_cast<const Bytef*>(data.data() + from), size));
}

TEST(SplitCrc, EqualsZlibForEverySizeAndStart) {
  std::mt19937 random(7);
  std::string data(3 * CSplitCrc::kSplitMin + 5, '\0');
  for (char& c : data) c = static_cast<char>(random());
  const std::size_t min = CSplitCrc::kSplitMin;
  // Below, at and around the split, odd sizes, and a start inside the data (a crc carried in).
  const std::vector<std::pair<std::size_t, std::size_t>> cases = {
      {0, 0}, {0, 1}, {0, min - 1}, {0, min}, {0, min + 1}, {3, 2 * min + 1}, {min, 2 * min + 5}};
  CSplitCrc split;
  for (const auto& [start, size] : cases) {
    const std::uint32_t before = ZlibCrc(0, data, 0, start);
    EXPECT_EQ(split.Update(before, data.data() + start, size), ZlibCrc(before, data, start, size))
        << "start " << start << ", size " << size;
  }
}

TEST(SplitCrc, ChainedPiecesEqualOneSum) {
  std::string data(1 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + 7);
  CSplitCrc split;
  std::uint32_t crc = ZlibCrc(0, data, 0, 0);
  for (std::size_t at = 0, piece = 1000; at < data.size(); at += piece, piece = piece * 3 % 300007)
    crc = split.Update(crc, data.data() + at, std::min(piece, data.size() - at));
  EXPECT_EQ(crc, ZlibCrc(0, data, 0, data.size()));
}

}  // namespace
