#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class CConnection;

// The downloads and uploads going on now, for the owner to watch and stop. Each transfer
// registers itself for its lifetime: one short lock as it starts and one as it ends, its bytes
// counted with a relaxed atomic add per send or receive, so the transfers themselves never wait
// on the owner's window.
class CTransferRegistry {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Direction { kDownload, kUpload };

  // One transfer as a snapshot saw it.
  struct Row {
    std::uint64_t id = 0;
    std::string account;  // empty: a visitor without an account
    std::string address;
    std::string item;
    Direction direction = Direction::kDownload;
    std::uint64_t bytes = 0;
    std::int64_t total = -1;  // -1 while not known
    Clock::time_point start{};
  };

  // A running transfer over a connection, registered from construction to destruction. It lives
  // on the worker's stack; the connection counts the bytes it moves into it meanwhile. With a
  // null registry it is nothing at all.
  class Transfer {
   public:
    // account, address and item are referred to, not copied: they must outlive the transfer.
    Transfer(CTransferRegistry* registry, CConnection& connection, std::string_view account,
             std::string_view address, std::string_view item, Direction direction,
             std::int64_t total);
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Names the item once it is known (an upload's file name arrives with its body).
    void SetItem(std::string item);
    void SetTotal(std::int64_t total) { m_total.store(total, std::memory_order_relaxed); }
    // The owner stopped it: its connection was shut down.
    bool Stopped() const { return m_stopped.load(std::memory_order_relaxed); }
    std::uint64_t Id() const { return m_id; }

   private:
    friend class CTransferRegistry;
    CTransferRegistry* m_registry;
    CConnection& m_connection;
    Transfer* m_previous = nullptr;
    Transfer* m_next = nullptr;
    std::uint64_t m_id = 0;
    int m_socket = -1;
    std::string_view m_account;
    std::string_view m_address;
    std::string_view m_item;
    std::string m_own_item;
    Direction m_direction;
    Clock::time_point m_start;
    std::atomic<std::uint64_t> m_bytes{0};
    std::atomic<std::int64_t> m_total;
    std::atomic<bool> m_stopped{false};
  };

  CTransferRegistry() = default;
  CTransferRegistry(const CTransferRegistry&) = delete;
  CTransferRegistry& operator=(const CTransferRegistry&) = delete;

  // The transfers now, oldest first.
  std::vector<Row> Snapshot() const;
  std::size_t Count() const;
  // Ends the transfer's connection at once: its next send or receive fails, and its end line in
  // the activity log says it was stopped. False when no such transfer runs (any more).
  bool Stop(std::uint64_t id);

 private:
  void Add(Transfer& transfer);
  void Remove(Transfer& transfer);

  mutable std::mutex m_mutex;
  Transfer* m_first = nullptr;  // a list through the transfers themselves, oldest first
  Transfer* m_last = nullptr;
  std::size_t m_count = 0;
  std::uint64_t m_last_id = 0;
};
