#include "service/ZipCrcCache.h"

#include <functional>

bool CZipCrcCache::Find(std::string_view path, const Identity& identity, std::uint32_t& crc) const {
  const std::size_t key = std::hash<std::string_view>()(path);
  std::lock_guard lock(m_mutex);
  const auto found = m_values.find(key);
  if (found == m_values.end() || !(found->second.identity == identity)) return false;
  crc = found->second.crc;
  return true;
}

void CZipCrcCache::Store(std::string_view path, const Identity& identity, std::uint32_t crc) {
  const std::size_t key = std::hash<std::string_view>()(path);
  std::lock_guard lock(m_mutex);
  if (m_values.size() >= kMaxEntries && m_values.count(key) == 0) m_values.clear();
  m_values[key] = Value{identity, crc};
}

std::size_t CZipCrcCache::Size() const {
  std::lock_guard lock(m_mutex);
  return m_values.size();
}
