#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "service/Connection.h"
#include "service/ConnectionHandler.h"
#include "service/ConnectionKeeper.h"

// The workers that serve connections. Each idle worker waits in accept on the listening socket of
// a service started on the pool and serves the connection it accepted, so no connection is
// handed from one thread to another and the request path takes no lock of the pool's.
//
// Workers start in groups as load rises (a group when the last idle worker takes a connection)
// and are never stopped while the pool lives. When every worker is busy, a guard thread watches
// the listening sockets: while connections wait there, the client address holding the most
// workers beyond its share loses its newest connection, one at a time, and a connection taken
// by the last idle worker from an address already holding its share is closed at once. So a
// flood from one address cannot keep other visitors out. An IPv6 address counts by its /64.
//
// A connection whose handler asks to wait for a request head (the next request of a kept
// connection, or the rest of a head) waits in the keeper, holding no worker; once its head is
// whole, an idle worker is woken from accept to take it, before new connections.
class CThreadPool {
 public:
  static constexpr int kInitialWorkers = 10;
  static constexpr int kGrowth = 10;
  static constexpr int kMaxWorkers = 1503;
  // The workers one client address may hold while the pool is full and others wait.
  static constexpr int kMaxPerAddress = 256;
  // Services that can listen on one pool at the same time.
  static constexpr int kMaxListeners = 8;

  struct Limits {
    int max_workers = kMaxWorkers;
    int per_address = kMaxPerAddress;
  };

  CThreadPool() : CThreadPool(Limits{}) {}
  // Other limits than kMaxWorkers and kMaxPerAddress are for tests.
  explicit CThreadPool(Limits limits);
  // Ends the workers and the guard, waiting for handlers still running; stop the services first.
  ~CThreadPool();
  CThreadPool(const CThreadPool&) = delete;
  CThreadPool& operator=(const CThreadPool&) = delete;

  // Starts the first workers and the guard. True when running (also when it already was).
  bool Start();

  // From now on workers accept on listen_socket (blocking, listening) and serve its connections
  // with handler, under rules. Allowed before Start: the workers take it up once they run. False
  // when kMaxListeners services already listen. Handler and rules must stay until RemoveListener.
  bool AddListener(CConnectionHandler* handler, const ConnectionRules* rules, int listen_socket);
  // Shuts the service's listening socket down and returns once no worker (nor the guard) uses it
  // any more, so the caller may close it. Connections being served go on.
  void RemoveListener(const CConnectionHandler* handler);

  // Connections of handler (of any handler when null) being served.
  int CountActive(const CConnectionHandler* handler = nullptr) const;
  // Waits until CountActive(handler) is 0.
  void WaitIdle(const CConnectionHandler* handler) const;
  // Workers started so far.
  int WorkerCount() const { return m_worker_count.load(std::memory_order_acquire); }
  // Connections closed so far to keep one address within its share while others waited.
  int ShedCount() const { return m_shed_count.load(std::memory_order_relaxed); }
  // Connections waiting for a request head without a worker.
  int WaitingCount() const { return m_keeper.WaitingCount(); }

 private:
  struct alignas(64) Listener {
    std::atomic<int> socket{-1};  // -1: free, or being removed
    std::atomic<CConnectionHandler*> handler{nullptr};
    std::atomic<const ConnectionRules*> rules{nullptr};
    std::atomic<int> users{0};        // workers in (or on their way into) accept, and the guard
    std::atomic<bool> failed{false};  // accept reported the socket broken: not used any more
  };

  // A worker's connection, as the guard sees it.
  static constexpr int kIdle = 0;
  static constexpr int kServing = 1;
  static constexpr int kShedding = 2;  // the guard is shutting the socket down: wait to close
  static constexpr int kClosing = 3;
  struct alignas(64) Slot {
    std::atomic<int> state{kIdle};
    std::atomic<int> socket{-1};
    std::atomic<std::uint64_t> address{0};  // the peer's IPv4 address or IPv6 /64 (LimitKey)
    std::atomic<std::int64_t> since{0};     // accept time, which orders connections
    std::atomic<CConnectionHandler*> handler{nullptr};
    std::atomic<int> listener{-1};  // index of the listener the worker last waited on
    CConnection connection;         // the worker's own
  };

  void Work(int index);
  // Serves the slot's connection (published as served) with handler, request after request while
  // heads are there, then parks or closes it and frees the slot.
  void Serve(Slot& slot, CConnectionHandler* handler);
  // Waits a moment for the next head of an idle connection, while workers are spare; true once
  // a whole one is in.
  bool NextHeadSoon(CConnection& connection);
  // Publishes the slot's connection as served by handler.
  void Claim(Slot& slot, CConnectionHandler* handler);
  // Interrupts an idle worker's accept, so that it takes a connection the keeper has ready; grows
  // the pool when none is idle.
  void WakeForReady();
  // A listener to accept on, with its socket and its users count raised; null once the pool
  // stops. Waits while the pool has none.
  Listener* Attach(int& listen_socket);
  // Closes the slot's connection and frees the slot.
  void Release(Slot& slot);
  // The connection just taken made every worker busy: starts a group, or at the limit wakes the
  // guard, or refuses the connection (true) when its address holds its share already.
  bool OnAllBusy(Slot& slot);
  // Starts workers for the next kGrowth slots when all are busy; false if none could start.
  bool Grow();
  // Starts workers up to target (under m_grow_mutex); false if none could be started.
  bool GrowTo(int target);
  // Every worker busy and no more can start.
  bool Full() const;
  // Connections being served from address, slot excepted.
  int CountFrom(std::uint64_t address, const Slot* except) const;

  void Guard();
  // Sheds connections while the pool is full and connections wait on a listener.
  void WatchWhileFull();
  // Brings an idle worker to each listener that has none waiting.
  void Balance();
  // Shuts the newest connection of the address holding the most workers down, when that is more
  // than its share. False when no address holds more.
  bool ShedOne();

  const Limits m_limits;
  std::unique_ptr<Slot[]> m_slots;
  std::unique_ptr<std::thread[]> m_workers;
  Listener m_listeners[kMaxListeners];

  std::atomic<bool> m_running{false};
  std::atomic<int> m_worker_count{0};
  std::atomic<int> m_busy{0};
  std::atomic<bool> m_cannot_grow{false};  // a thread could not be started: full before the limit
  std::atomic<int> m_shed_count{0};
  std::mutex m_grow_mutex;  // one group started at a time

  // Rare events only: listeners coming and going, the pool filling up, the end.
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;     // listeners changed, or the pool stops
  std::condition_variable m_guard_wake;  // the pool is full, or stops
  bool m_full = false;                   // told to the guard
  bool m_unbalanced = false;             // told to the guard: a listener may have no worker
  std::atomic<int> m_listener_count{0};
  std::thread m_guard;
  CConnectionKeeper m_keeper{[this] { WakeForReady(); }};
};
