#include "service/SplitCrc.h"

#include <zlib.h>

#include <system_error>

namespace {

std::uint32_t Crc(std::uint32_t crc, const char* data, std::size_t size) {
  return static_cast<std::uint32_t>(
      crc32_z(crc, reinterpret_cast<const Bytef*>(data), static_cast<z_size_t>(size)));
}

}  // namespace

CSplitCrc::~CSplitCrc() {
  if (!m_helper.joinable()) return;
  {
    std::lock_guard lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  m_helper.join();
}

std::uint32_t CSplitCrc::Update(std::uint32_t crc, const char* data, std::size_t size) {
  if (size < kSplitMin) return Crc(crc, data, size);
  if (!m_helper.joinable()) {
    try {
      m_helper = std::thread(&CSplitCrc::Run, this);
    } catch (const std::system_error&) {
      return Crc(crc, data, size);  // no thread to be had: one at a time, as correct
    }
  }
  const std::size_t half = size / 2;
  {
    std::lock_guard lock(m_mutex);
    m_data = data;
    m_size = half;
    m_done = false;
  }
  m_wake.notify_all();
  const std::uint32_t second = Crc(Crc(0, nullptr, 0), data + half, size - half);
  std::uint32_t first = 0;
  {
    std::unique_lock lock(m_mutex);
    if (m_data != nullptr) {
      // The helper has not begun (no core was free): the caller sums the half itself rather
      // than wait for the helper's turn.
      m_data = nullptr;
      lock.unlock();
      first = Crc(Crc(0, nullptr, 0), data, half);
    } else {
      m_wake.wait(lock, [this] { return m_done; });
      first = m_result;
    }
  }
  const auto joined = crc32_combine(crc, first, static_cast<z_off_t>(half));
  return static_cast<std::uint32_t>(
      crc32_combine(joined, second, static_cast<z_off_t>(size - half)));
}

void CSplitCrc::Run() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_wake.wait(lock, [this] { return m_stop || m_data != nullptr; });
    if (m_stop) return;
    const char* data = m_data;
    const std::size_t size = m_size;
    m_data = nullptr;
    lock.unlock();
    const std::uint32_t result = Crc(Crc(0, nullptr, 0), data, size);
    lock.lock();
    m_result = result;
    m_done = true;
    m_wake.notify_all();
  }
}
