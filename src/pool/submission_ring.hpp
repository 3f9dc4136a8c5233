// The pool's submissions with no start time, taken past its lock: a bounded ring of slots in
// ticket order. Any thread claims a ticket and publishes its slot without a lock; everything
// else (taking the front, finding, spending a slot, listing) is done by whoever holds the pool's
// lock, one thread at a time.
#pragma once

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
// t; seq == t + 1, ticket t's entry is published; the consumer hands the slot
// to ticket t + size by storing that. A producer writes its slot only between
// its claim and its publication, a consumer only after the publication, so
// the payload needs no lock of its own.
class SubmissionRing {
 public:
  struct Entry {
    Task fct;
    std::string name;
    std::int64_t ready = 0;  // the steady time from which it counts as waiting
    std::uint8_t flags = 0;  // the scheduler's, passed through
    bool live = false;       // false: spent (published empty, removed, or taken out of turn)
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
    s.entry.ready = ready;
    s.entry.flags = flags;
    s.entry.live = true;
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
    s.entry.live = false;
    s.seq.store(t + 1, std::memory_order_release);
  }
  // The next ticket to be claimed.
  std::uint64_t tail() const noexcept { return tail_.load(std::memory_order_acquire) & ~kClosed; }

  // --- Any thread, no lock: hints ---------------------------------------------------

  // The slot at the front is published (live or spent): a worker that
  // waits for work looks again.
  bool front_published() const noexcept {
    const std::uint64_t h = head_.load(std::memory_order_relaxed);
    return slot(h).seq.load(std::memory_order_seq_cst) == h + 1;
  }

  // --- The consumer: the pool's lock held ---------------------------------------------

  std::uint64_t head() const noexcept { return head_.load(std::memory_order_relaxed); }
  // The live entry at the front (ticket head()), after handing spent slots
  // before it back to the producers; null when the front is free or still
  // being written.
  Entry* front() noexcept {
    for (;;) {
      const std::uint64_t h = head();
      Slot& s = slot(h);
      if (s.seq.load(std::memory_order_acquire) != h + 1) return nullptr;
      if (s.entry.live) return &s.entry;
      pop();
    }
  }
  // Hands the front slot back, its entry spent or moved from.
  void pop() noexcept {
    const std::uint64_t h = head();
    Slot& s = slot(h);
    s.entry.live = false;
    s.entry.fct.reset();
    s.seq.store(h + mask_ + 1, std::memory_order_release);
    head_.store(h + 1, std::memory_order_relaxed);
  }
  // The live entry of ticket `t`, or null (not published, spent, consumed, or
  // never issued). O(1).
  const Entry* find(std::uint64_t t) const noexcept {
    if (t < head() || t >= tail()) return nullptr;
    const Slot& s = slot(t);
    if (s.seq.load(std::memory_order_acquire) != t + 1 || !s.entry.live) return nullptr;
    return &s.entry;
  }
  Entry* find(std::uint64_t t) noexcept {
    return const_cast<Entry*>(static_cast<const SubmissionRing*>(this)->find(t));
  }
  // Calls f(ticket, entry) for every live entry, in ticket order; stops
  // early when f returns false. O(tickets between the front and the tail).
  template <class F>
  void for_each_live(F&& f) {
    const std::uint64_t end = tail();
    for (std::uint64_t t = head(); t < end; ++t) {
      Slot& s = slot(t);
      if (s.seq.load(std::memory_order_acquire) == t + 1 && s.entry.live && !f(t, s.entry)) return;
    }
  }
  template <class F>
  void for_each_live(F&& f) const {
    const_cast<SubmissionRing*>(this)->for_each_live(
        [&f](std::uint64_t t, Entry& e) { return f(t, static_cast<const Entry&>(e)); });
  }
  bool has_live() const {
    bool any = false;
    for_each_live([&any](std::uint64_t, const Entry&) {
      any = true;
      return false;
    });
    return any;
  }
  // Waits until every ticket below `end` is published. Its producers need no
  // lock to finish, so this ends.
  void await_published(std::uint64_t end) const noexcept {
    for (std::uint64_t t = head(); t < end; ++t) {
      for (int spins = 0; slot(t).seq.load(std::memory_order_acquire) != t + 1; ++spins) {
        if (spins < 64) {
          spin_pause();
        } else {
          std::this_thread::yield();
        }
      }
    }
  }

 private:
  struct Slot {
    std::atomic<std::uint64_t> seq{0};
    Entry entry;
  };
  Slot& slot(std::uint64_t t) noexcept { return slots_[t & mask_]; }
  const Slot& slot(std::uint64_t t) const noexcept { return slots_[t & mask_]; }

  static constexpr std::uint64_t kClosed = std::uint64_t{1} << 63;  // in the tail
  const std::uint64_t mask_;
  const std::unique_ptr<Slot[]> slots_;
  // Apart from each other: producers write the tail, the consumer the head.
  alignas(64) std::atomic<std::uint64_t> tail_{0};
  alignas(64) std::atomic<std::uint64_t> head_{0};
};

}  // namespace vexo::util::detail
