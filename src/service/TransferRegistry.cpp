#include "service/TransferRegistry.h"

#include <sys/socket.h>

#include <utility>

#include "service/Connection.h"

CTransferRegistry::Transfer::Transfer(CTransferRegistry* registry, CConnection& connection,
                                      std::string_view account, std::string_view address,
                                      std::string_view item, Direction direction,
                                      std::int64_t total)
    : m_registry(registry),
      m_connection(connection),
      m_socket(connection.Descriptor()),
      m_account(account),
      m_address(address),
      m_item(item),
      m_direction(direction),
      m_total(total) {
  if (!m_registry) return;
  m_start = Clock::now();
  connection.TrackProgress(&m_bytes);
  m_registry->Add(*this);
}

CTransferRegistry::Transfer::~Transfer() {
  if (!m_registry) return;
  // Out of the list before the worker goes on: the socket may be closed and its number reused
  // right after, and a Stop must never reach that one.
  m_registry->Remove(*this);
  m_connection.TrackProgress(nullptr);
}

void CTransferRegistry::Transfer::SetItem(std::string item) {
  if (!m_registry) return;
  const std::lock_guard lock(m_registry->m_mutex);
  m_own_item = std::move(item);
  m_item = m_own_item;
}

void CTransferRegistry::Add(Transfer& transfer) {
  const std::lock_guard lock(m_mutex);
  transfer.m_id = ++m_last_id;
  transfer.m_previous = m_last;
  (m_last ? m_last->m_next : m_first) = &transfer;
  m_last = &transfer;
  ++m_count;
}

void CTransferRegistry::Remove(Transfer& transfer) {
  const std::lock_guard lock(m_mutex);
  (transfer.m_previous ? transfer.m_previous->m_next : m_first) = transfer.m_next;
  (transfer.m_next ? transfer.m_next->m_previous : m_last) = transfer.m_previous;
  --m_count;
}

std::vector<CTransferRegistry::Row> CTransferRegistry::Snapshot() const {
  std::vector<Row> rows;
  const std::lock_guard lock(m_mutex);
  rows.reserve(m_count);
  for (const Transfer* transfer = m_first; transfer; transfer = transfer->m_next) {
    rows.push_back({transfer->m_id, std::string(transfer->m_account),
                    std::string(transfer->m_address), std::string(transfer->m_item),
                    transfer->m_direction, transfer->m_bytes.load(std::memory_order_relaxed),
                    transfer->m_total.load(std::memory_order_relaxed), transfer->m_start});
  }
  return rows;
}

std::size_t CTransferRegistry::Count() const {
  const std::lock_guard lock(m_mutex);
  return m_count;
}

bool CTransferRegistry::Stop(std::uint64_t id) {
  const std::lock_guard lock(m_mutex);
  for (Transfer* transfer = m_first; transfer; transfer = transfer->m_next) {
    if (transfer->m_id != id) continue;
    transfer->m_stopped.store(true, std::memory_order_relaxed);
    // Both ways: a send waiting for room and a receive waiting for data fail at once.
    shutdown(transfer->m_socket, SHUT_RDWR);
    return true;
  }
  return false;
}
