#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "service/Connection.h"
#include "service/ConnectionHandler.h"

// The connections that wait for a request head: kept connections between requests, and requests
// whose head is still coming in. They wait in one epoll loop, holding a descriptor and the bytes
// of their head but no worker, until a whole head has arrived; then a worker takes them. An idle
// connection is closed after its rules' idle limit, a partial head at its head deadline.
class CConnectionKeeper {
 public:
  using Clock = std::chrono::steady_clock;

  // The connections one client address may keep waiting; past it, its oldest idle one goes.
  static constexpr int kMaxPerAddress = 256;

  // wake is called (on the keeper's thread) while connections are ready for a worker.
  explicit CConnectionKeeper(std::function<void()> wake);
  // Closes every waiting connection.
  ~CConnectionKeeper();
  CConnectionKeeper(const CConnectionKeeper&) = delete;
  CConnectionKeeper& operator=(const CConnectionKeeper&) = delete;

  // Starts the loop. True when running.
  bool Start();
  // Ends the loop; connections parked from now on are closed. The destructor closes the rest.
  void Stop();

  // Takes connection over: it waits here for handler, or is closed when its service has stopped
  // or it cannot wait.
  void Park(CConnection& connection, CConnectionHandler* handler);
  // Whether a connection with a whole head waits for a worker.
  bool HasReady() const { return m_ready_count.load(std::memory_order_acquire) > 0; }
  // Moves the connection that has waited longest with a whole head into connection and calls
  // claim with its handler before a service can see it gone (so that its stop waits for it).
  // False when none is ready.
  bool TakeReady(CConnection& connection, const std::function<void(CConnectionHandler*)>& claim);
  // Closes the waiting connections of handler, whose service stops.
  void Forget(const CConnectionHandler* handler);
  // Closes up to count of the connections idle longest, as descriptors run short.
  void CloseOldestIdle(int count);
  // Connections waiting (idle or with part of a head), and those ready for a worker.
  int WaitingCount() const;

 private:
  struct Waiting {
    CConnection connection;
    CConnectionHandler* handler = nullptr;
    std::uint64_t address = 0;
    Clock::time_point since{};  // parked
  };
  using Table = std::unordered_map<int, std::unique_ptr<Waiting>>;

  void Run();
  void OnReadable(int socket);
  // Closes connections past their idle limit or head deadline, or of a stopped service.
  void Expire();
  void CloseLocked(Table::iterator entry);
  bool Arm(int socket, const CConnection& connection, bool add) const;

  std::function<void()> m_wake;
  int m_epoll = -1;
  int m_stop_event = -1;
  std::atomic<bool> m_running{false};
  std::thread m_thread;
  mutable std::mutex m_mutex;
  Table m_waiting;
  std::deque<std::unique_ptr<Waiting>> m_ready;
  std::atomic<int> m_ready_count{0};
};
