#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

// A fixed number of slots handed out in the order they were asked for, except that an owner (a
// client address) that holds one already waits behind owners that hold none. A waiter keeps
// asking whether it still wants one, so a request whose client has gone leaves the queue, and
// waits no longer than it was told.
class CSlotQueue {
 public:
  enum class Outcome { kTaken, kGaveUp, kTimedOut };

  explicit CSlotQueue(int count) : m_slots(count) {}
  CSlotQueue(const CSlotQueue&) = delete;
  CSlotQueue& operator=(const CSlotQueue&) = delete;

  // Waits for a free slot and owner's turn. keep_waiting is asked about every check_every while
  // waiting (never with the lock held); once it answers false the place is given up. kTaken: a
  // slot is held until Release(owner).
  Outcome Acquire(const std::string& owner, const std::function<bool()>& keep_waiting,
                  std::chrono::milliseconds max_wait,
                  std::chrono::milliseconds check_every = std::chrono::milliseconds(200));
  void Release(const std::string& owner);

  // Slots held now, and those waiting for one.
  int InUse() const;
  int Waiting() const;

  // Holds a slot for its lifetime when one was taken.
  class Hold {
   public:
    Hold(CSlotQueue& queue, const std::string& owner, const std::function<bool()>& keep_waiting,
         std::chrono::milliseconds max_wait)
        : m_queue(queue), m_owner(owner), m_outcome(queue.Acquire(owner, keep_waiting, max_wait)) {}
    ~Hold() { Release(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    Outcome outcome() const { return m_outcome; }
    // Gives the slot back before the end of the hold's life.
    void Release() {
      if (m_outcome == Outcome::kTaken) m_queue.Release(m_owner);
      m_outcome = Outcome::kGaveUp;
    }

   private:
    CSlotQueue& m_queue;
    std::string m_owner;
    Outcome m_outcome;
  };

 private:
  struct Waiter {
    std::uint64_t ticket;
    std::string owner;
  };
  // Whether ticket may take a free slot now: the first waiter whose owner holds none, or, when
  // every waiter's owner holds one, the first waiter.
  bool Turn(std::uint64_t ticket) const;

  const int m_slots;
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  int m_in_use = 0;
  std::uint64_t m_next_ticket = 0;
  std::deque<Waiter> m_waiting;  // in arrival order
  std::map<std::string, int> m_held;
};
