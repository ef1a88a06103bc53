#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

// zlib's CRC-32 of large pieces in two halves at once: a helper thread sums the first half while
// the caller sums the second, and crc32_combine joins them. The sum then takes about half the
// time where a core is free, which is what limits a zip written from files not read before.
// Where none is, the caller finds its first half not begun and sums it itself, so a busy machine
// loses no more than a hand-over. Small pieces, below kSplitMin, are summed by the caller alone.
// The helper starts with the first large piece. Not for use by several threads at once.
class CSplitCrc {
 public:
  static constexpr std::size_t kSplitMin = 64 << 10;

  CSplitCrc() = default;
  ~CSplitCrc();
  CSplitCrc(const CSplitCrc&) = delete;
  CSplitCrc& operator=(const CSplitCrc&) = delete;

  // The CRC-32 of data following bytes whose CRC-32 is crc: as crc32_z(crc, data, size).
  std::uint32_t Update(std::uint32_t crc, const char* data, std::size_t size);

 private:
  void Run();

  std::thread m_helper;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  // The piece handed to the helper (null while it has none) and its result.
  const char* m_data = nullptr;
  std::size_t m_size = 0;
  std::uint32_t m_result = 0;
  bool m_done = false;
  bool m_stop = false;
};
