#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

// A fixed number of slots handed out in the order they were asked for. A waiter keeps asking
// whether it still wants one, so a request whose client has gone leaves the queue.
class CSlotQueue {
 public:
  explicit CSlotQueue(int slots) : m_slots(slots) {}
  CSlotQueue(const CSlotQueue&) = delete;
  CSlotQueue& operator=(const CSlotQueue&) = delete;

  // Waits for a free slot and the first place in the queue. keep_waiting is asked about every
  // check_every while waiting (never with the lock held); once it answers false the place is
  // given up and false is returned. True: a slot is held until Release.
  bool Acquire(const std::function<bool()>& keep_waiting,
               std::chrono::milliseconds check_every = std::chrono::milliseconds(200));
  void Release();

  // Slots held now.
  int InUse() const;

  // Holds a slot for its lifetime; false when none was taken.
  class Hold {
   public:
    Hold(CSlotQueue& queue, const std::function<bool()>& keep_waiting)
        : m_queue(queue), m_held(queue.Acquire(keep_waiting)) {}
    ~Hold() {
      if (m_held) m_queue.Release();
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    explicit operator bool() const { return m_held; }

   private:
    CSlotQueue& m_queue;
    bool m_held;
  };

 private:
  const int m_slots;
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  int m_in_use = 0;
  std::uint64_t m_next_ticket = 0;
  std::deque<std::uint64_t> m_waiting;  // tickets in arrival order
};
