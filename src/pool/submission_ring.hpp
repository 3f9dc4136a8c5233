// The pool's submissions with no start time, past its lock: a bounded ring of slots in ticket
// order. Any thread claims a ticket and publishes its slot without a lock, and any thread takes
// the front without one; finding a task by its ticket, spending it out of turn and listing are
// done by whoever holds the pool's lock.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "parking.hpp"
#include "vexo/util/task.hpp"

namespace vexo::util::detail {

// A ticket is also the id of the task it carries, so claim() is the one
// place where ids are issued: a submission that goes elsewhere (a delayed
// task, a series, a pool with a capacity) claims a ticket too and publishes
// its slot spent.
//
// Each slot's sequence word says whose the slot is: seq == t, free for ticket
// t; seq == t + 1, ticket t's entry is published; whoever moves the head past
// t hands the slot to ticket t + size by storing that. A slot's state word
// says what its published entry is, with the ticket in it (so that a state
// read for one lap is never taken for the next's): live, busy (being moved
// out by the one thread that changed it from live) or spent. A producer
// writes the payload only between its claim and its publication, and after
// that only the thread that made the entry busy touches it, so the payload
// needs no lock of its own. Readers of the payload of live entries (listing
// names) must keep every taker away by other means: the scheduler's locks.
class SubmissionRing {
 public:
  struct Entry {
    Task fct;
    std::string name;
  };

  // `slots` must be a power of two. Throws std::bad_alloc.
  explicit SubmissionRing(std::size_t slots)
      : mask_(slots - 1), slots_(std::make_unique<Slot[]>(slots)) {
    for (std::size_t i = 0; i < slots; ++i) slots_[i].seq.store(i, std::memory_order_relaxed);
  }

  // --- Producers: any thread, no lock -------------------------------------------

  enum class Claim { claimed, full, closed };
  // Claims the next ticket if its slot is free: `full` when the slot still
  // holds the ticket one lap earlier, `closed` once close() was called.
  // Lock-free.
  Claim try_claim(std::uint64_t* ticket) noexcept {
    std::uint64_t t = tail_.load(std::memory_order_acquire);
    for (;;) {
      if ((t & kClosed) != 0) return Claim::closed;
      const std::uint64_t seq = slot(t).seq.load(std::memory_order_acquire);
      if (seq == t) {
        if (tail_.compare_exchange_weak(t, t + 1, std::memory_order_acq_rel,
                                        std::memory_order_acquire)) {
          *ticket = t;
          return Claim::claimed;
        }
      } else if (seq < t) {
        return Claim::full;
      } else {
        t = tail_.load(std::memory_order_acquire);
      }
    }
  }
  // No ticket is claimed from now on; returns the first unclaimed one. The
  // same read-modify-write of the tail that claims take, so each claim is
  // before it (and lands below the returned ticket) or fails. What the
  // caller wrote before (why it closed) is seen by a claim that fails.
  std::uint64_t close() noexcept {
    return tail_.fetch_or(kClosed, std::memory_order_acq_rel) & ~kClosed;
  }
  // Publishes claimed ticket `t` with its task.
  void publish(std::uint64_t t, Task&& fct, std::string&& name, std::int64_t ready,
               std::uint8_t flags) noexcept {
    Slot& s = slot(t);
    s.entry.fct = std::move(fct);
    move_name(s.entry.name, name);
    s.ready.store(ready, std::memory_order_relaxed);
    s.flags.store(flags, std::memory_order_relaxed);
    // Release: a take() out of turn synchronises with it, not with the
    // sequence word.
    s.state.store(state_of(t, kLive), std::memory_order_release);
    // Sequentially consistent: a worker that then announces its sleep (a
    // read-modify-write) and looks here, and this producer, which then reads
    // the sleepers, cannot both miss the other.
    s.seq.store(t + 1, std::memory_order_seq_cst);
  }
  // to = from, leaving `from` empty; cheaper than a move for the empty
  // names of most tasks.
  static void move_name(std::string& to, std::string& from) noexcept {
    if (from.empty()) {
      to.clear();
    } else {
      to = std::move(from);
      from.clear();
    }
  }
  // Publishes claimed ticket `t` spent: its id went elsewhere, or was refused.
  void publish_spent(std::uint64_t t) noexcept {
    Slot& s = slot(t);
    s.state.store(state_of(t, kSpent), std::memory_order_relaxed);
    s.seq.store(t + 1, std::memory_order_release);
  }
  // The next ticket to be claimed.
  std::uint64_t tail() const noexcept { return tail_.load(std::memory_order_acquire) & ~kClosed; }

  // --- Producers that found the ring full ---------------------------------------------

  // Waits for room in a full ring (at once if it is less than half full by
  // now). It first yields until `poll_ns` after `now_ns` (CLOCK_MONOTONIC):
  // takers that take `fast_takes` tasks meanwhile are about as fast as the
  // producer, and it returns true. Slower ones let it sleep until they have
  // handed back half a ring of slots past the front, in slices of `slice_ns`
  // while every slice sees the front move, and at most until `deadline_ns`;
  // a producer that yielded to them instead would stay runnable beside them
  // and take their cores. Returns
  // whether room came; false means that the takers are stopped or too slow,
  // and the caller should make room itself. The takers that hand back the
  // slot waited for wake the sleepers. Their look at the mark is not ordered
  // with the sleeper's (that would cost every take a full fence), so a
  // wake-up lost to that race costs at most one slice.
  bool await_room(std::int64_t now_ns, std::int64_t poll_ns, std::uint64_t fast_takes,
                  std::int64_t slice_ns, std::int64_t deadline_ns) noexcept {
    std::uint64_t front = head();
    if (tail() - front <= (mask_ + 1) / 2) return true;
    for (const std::int64_t polled = now_ns + poll_ns; now_ns < polled; now_ns = monotonic_ns()) {
      std::this_thread::yield();
      if (head() - front >= fast_takes) return true;
    }
    const std::uint64_t mark = front + (mask_ + 1) / 2;  // claimed: below the tail
    for (;;) {
      const std::uint32_t seen = room_.value();
      std::uint64_t waited = room_at_.load(std::memory_order_relaxed);
      while (mark < waited &&
             !room_at_.compare_exchange_weak(waited, mark, std::memory_order_relaxed)) {
      }
      if (handed_back(mark)) return true;
      if (closed()) return false;
      room_.park(seen, std::min(now_ns + slice_ns, deadline_ns));
      if (handed_back(mark)) return true;
      now_ns = monotonic_ns();
      const std::uint64_t now_front = head();
      if (now_front == front || now_ns >= deadline_ns || closed()) return false;
      front = now_front;
    }
  }

  // Wakes every producer in await_room(), for it to look again (after
  // close(), to find the ring closed).
  void wake_room_waiters() noexcept {
    room_at_.store(kNoWaiter, std::memory_order_relaxed);
    room_.bump();
    room_.wake_all();
  }

  // --- Any thread, no lock: hints ---------------------------------------------------

  // The slot at the front is published (live or spent): a worker that
  // waits for work looks again. A slot found handed back was taken between
  // the two reads, and the head it read is stale: the next slot may hold a
  // task, so it reads the head again (the hand-back's release makes the
  // head's move visible) rather than say "empty".
  bool front_published() const noexcept {
    std::uint64_t h = head_.load(std::memory_order_seq_cst);
    for (;;) {
      if (slot(h).seq.load(std::memory_order_seq_cst) == h + 1) return true;
      const std::uint64_t again = head_.load(std::memory_order_seq_cst);
      if (again == h) return false;
      h = again;
    }
  }
  // Whether one of the first `max` slots from the front holds a live entry
  // whose flags satisfy `wanted(flags)`; stops at the first slot not
  // published. Only loads: a reader that races with a taker may see a stale
  // answer, never a torn one (the state word carries the ticket).
  template <class Wanted>
  bool live_near_front(std::size_t max, Wanted&& wanted) const noexcept {
    std::uint64_t t = head_.load(std::memory_order_relaxed);
    for (const std::uint64_t end = t + max; t < end; ++t) {
      const Slot& s = slot(t);
      if (s.seq.load(std::memory_order_acquire) != t + 1) return false;
      if (s.state.load(std::memory_order_relaxed) == state_of(t, kLive) &&
          wanted(s.flags.load(std::memory_order_relaxed))) {
        return true;
      }
    }
    return false;
  }

  // --- Takers: any thread, no lock ---------------------------------------------------

  std::uint64_t head() const noexcept { return head_.load(std::memory_order_acquire); }
  // Takes the live entry at the front, passing over spent ones: calls
  // may_take(ticket, ready) first, and if that says yes, moves the head past
  // it and calls take(ticket, entry, ready, flags), which moves the payload
  // out (the slot is handed back to the producers after it returns). Returns
  // false, taking nothing, when the front is free, still being written, or
  // not to be taken. Lock-free; `take` must not throw. may_take() may be
  // called for an entry that another thread takes meanwhile: its answer is
  // then thrown away.
  template <class MayTake, class Take>
  bool take_front(MayTake&& may_take, Take&& take) noexcept {
    for (;;) {
      std::uint64_t h = head_.load(std::memory_order_acquire);
      Slot& s = slot(h);
      if (s.seq.load(std::memory_order_acquire) != h + 1) return false;
      std::uint64_t state = s.state.load(std::memory_order_acquire);
      if (state == state_of(h, kLive) && !may_take(h, s.ready.load(std::memory_order_relaxed))) {
        return false;
      }
      if (!head_.compare_exchange_strong(h, h + 1, std::memory_order_acq_rel,
                                         std::memory_order_relaxed)) {
        continue;
      }
      // Past the head: the slot is this thread's to hand back. Its entry is
      // this thread's too, unless it was taken out of turn meanwhile.
      state = state_of(h, kLive);
      const bool ours =
          s.state.compare_exchange_strong(state, state_of(h, kBusy), std::memory_order_acquire);
      if (ours) {
        take(h, s.entry, s.ready.load(std::memory_order_relaxed),
             s.flags.load(std::memory_order_relaxed));
      } else {
        while (s.state.load(std::memory_order_acquire) == state_of(h, kBusy)) spin_pause();
      }
      hand_back(h);
      if (ours) return true;
    }
  }

  // --- Out of turn: the pool's lock held ---------------------------------------------

  // Whether ticket `t` is published and live. O(1).
  bool live(std::uint64_t t) const noexcept {
    if (t >= tail()) return false;  // never issued (and no other lap's state to match)
    const Slot& s = slot(t);
    return s.state.load(std::memory_order_acquire) == state_of(t, kLive) &&
           s.seq.load(std::memory_order_acquire) == t + 1;
  }
  std::uint8_t flags(std::uint64_t t) const noexcept {
    return slot(t).flags.load(std::memory_order_relaxed);
  }
  std::int64_t ready(std::uint64_t t) const noexcept {
    return slot(t).ready.load(std::memory_order_relaxed);
  }
  // Takes the live entry of ticket `t` out of turn: returns it busy, for the
  // caller to move the payload out of and then spend(); null when `t` is not
  // live (taken, spent, or never issued). O(1).
  Entry* take(std::uint64_t t) noexcept {
    if (t >= tail()) return nullptr;
    Slot& s = slot(t);
    std::uint64_t state = state_of(t, kLive);
    if (!s.state.compare_exchange_strong(state, state_of(t, kBusy), std::memory_order_acquire)) {
      return nullptr;
    }
    return &s.entry;
  }
  // Ends a take(): the front passes over the entry from now on.
  void spend(std::uint64_t t) noexcept {
    slot(t).state.store(state_of(t, kSpent), std::memory_order_release);
  }
  // Calls f(ticket) for every live entry, in ticket order; stops early when
  // f returns false. O(tickets between the front and the tail).
  template <class F>
  void for_each_live(F&& f) const {
    const std::uint64_t end = tail();
    for (std::uint64_t t = head(); t < end; ++t) {
      if (live(t) && !f(t)) return;
    }
  }
  // The payload of live ticket `t`, for a reader that keeps takers away.
  const Entry& entry(std::uint64_t t) const noexcept { return slot(t).entry; }
  std::size_t size() const noexcept { return mask_ + 1; }
  bool has_live() const {
    bool any = false;
    for_each_live([&any](std::uint64_t) {
      any = true;
      return false;
    });
    return any;
  }
  // Waits until every claimed ticket below `end` is published (or taken
  // since: its slot then carries a later sequence). Its producers need no
  // lock to finish, so this ends.
  void await_published(std::uint64_t end) const noexcept {
    for (std::uint64_t t = head(); t < end; ++t) {
      for (int spins = 0; slot(t).seq.load(std::memory_order_acquire) == t; ++spins) {
        if (spins < 64) {
          spin_pause();
        } else {
          std::this_thread::yield();
        }
      }
    }
  }

 private:
  enum : std::uint64_t { kSpent = 0, kLive = 1, kBusy = 2 };
  static constexpr std::uint64_t state_of(std::uint64_t t, std::uint64_t what) noexcept {
    return (t << 2) | what;
  }
  struct Slot {
    std::atomic<std::uint64_t> seq{0};
    std::atomic<std::uint64_t> state{0};
    std::atomic<std::int64_t> ready{0};  // the steady time from which it counts as waiting
    std::atomic<std::uint8_t> flags{0};  // the scheduler's, passed through
    Entry entry;
  };
  // Hands the slot of ticket `t`, past the head, to ticket t + size.
  void hand_back(std::uint64_t t) noexcept {
    Slot& s = slot(t);
    s.entry.fct.reset();
    s.seq.store(t + mask_ + 1, std::memory_order_release);
    if (t >= room_at_.load(std::memory_order_relaxed)) [[unlikely]] {
      wake_room_waiters();
    }
  }
  // Whether ticket `t`'s slot was handed back to the next lap.
  bool handed_back(std::uint64_t t) const noexcept {
    return slot(t).seq.load(std::memory_order_acquire) >= t + mask_ + 1;
  }
  bool closed() const noexcept { return (tail_.load(std::memory_order_relaxed) & kClosed) != 0; }
  Slot& slot(std::uint64_t t) noexcept { return slots_[t & mask_]; }
  const Slot& slot(std::uint64_t t) const noexcept { return slots_[t & mask_]; }

  static constexpr std::uint64_t kClosed = std::uint64_t{1} << 63;  // in the tail
  const std::uint64_t mask_;
  const std::unique_ptr<Slot[]> slots_;
  // Apart from each other: producers write the tail, takers the head.
  alignas(64) std::atomic<std::uint64_t> tail_{0};
  alignas(64) std::atomic<std::uint64_t> head_{0};
  // The earliest ticket whose hand-back a producer waits for (kNoWaiter:
  // none), and the word it sleeps on. Read by every taker, written rarely.
  static constexpr std::uint64_t kNoWaiter = ~std::uint64_t{0};
  alignas(64) std::atomic<std::uint64_t> room_at_{kNoWaiter};
  ParkingWord room_;
};

}  // namespace vexo::util::detail
