// The thread pool's pending tasks: a private, header-only part of the library
// (hidden in libvexo_util.so, built into the pool's test for its model test).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "vexo/util/task.hpp"

namespace vexo::util::detail {

// The clock a pending task's start time is measured on. `due` tasks have
// none: they may run at once.
enum class StartClock : std::uint8_t { due, wall, steady };

// What the store keeps of a pending task besides its id and times.
struct PendingTask {
  Task fct;
  std::string name;
  std::uint8_t flags = 0;  // the owner's, passed through (at most kFlagBits bits)
};

// Pending tasks, each with a unique id and either no start time or one on the
// wall clock or the steady clock (times are int64 nanoseconds since each
// clock's epoch). Every operation costs O(log n) in the number n of pending
// tasks or less, amortized; a listing costs O(n + k log k) for k results.
//
// - Due tasks are taken in due order, lowest sequence number first. A task's
//   sequence number is (id + 1) << kSeqShift, so that tasks are taken in id
//   order, except for tasks added with the kRenewSeq flag (a recurring
//   series' next run): they get the sequence number passed to add() or
//   promote() when they become due, and so queue behind the tasks already
//   due. Plain tasks added as due in ascending id order wait in a FIFO; the
//   others, once due, wait in a min-heap by sequence number. take() compares
//   the fronts.
// - Tasks with a start time wait in one min-heap per clock, by start time,
//   until promote() is given a time at or past their start. (Tasks with equal
//   starts are promoted together, so their order there does not matter.)
// - Queue entries carry the keys they are ordered by, so that ordering never
//   reads a task. The tasks live in a chunked slab. The FIFO is searched by
//   id; an open-addressing table maps the id of a task in a heap to its slot.
// - Removal takes the payload and leaves a tombstone in its queue; tombstones
//   are dropped when they reach a queue's front, and all queues are compacted
//   when tombstones outnumber the live tasks. The front of every queue is a
//   live task.
//
// Memory per task: a 72-byte slot, plus 24 bytes in the FIFO, or 16 in a
// start heap and 8 to 16 of table. Ids must be at most kMaxId (2^52 - 2). Not thread-safe:
// the pool holds its lock.
class PendingStore {
 public:
  using Id = std::uint64_t;
  using Seq = std::uint64_t;
  static constexpr int kFlagBits = 5;
  // The flag of tasks that get a fresh sequence number when they become due.
  static constexpr std::uint8_t kRenewSeq = 1u << (kFlagBits - 1);
  static constexpr int kSeqShift = 12;
  static constexpr Id kMaxId = (Id{1} << (64 - kSeqShift)) - 2;
  // The sequence number of a plain task.
  static constexpr Seq seq_of(Id id) noexcept { return (id + 1) << kSeqShift; }

  PendingStore() { table_.assign(kMinTable, kEmpty); }

  std::size_t size() const noexcept { return live_; }
  bool empty() const noexcept { return live_ == 0; }
  bool contains(Id id) const noexcept {
    return find_in_fifo(id) != fifo_.end() || find_pos(id) != kEmpty;
  }
  // A due task is waiting (after the last promote()).
  bool has_due() const noexcept { return !fifo_.empty() || !promoted_.empty(); }
  // The sequence number of the due task that take() would take; has_due()
  // must hold.
  Seq first_due_seq() const noexcept {
    if (promoted_.empty()) return fifo_.front().seq;
    if (fifo_.empty()) return promoted_.front().seq;
    return std::min(fifo_.front().seq, promoted_.front().seq);
  }
  // Tasks on `clock` (wall or steady) wait for their start time.
  bool has_waiting(StartClock clock) const noexcept { return !heap(clock).empty(); }
  // The earliest start time on `clock`; has_waiting(clock) must hold.
  std::int64_t earliest(StartClock clock) const noexcept { return heap(clock).front().key; }

  // Adds a task. `start` is its start time on `clock` (ignored for due);
  // `ready` is the steady time from which a due task counts as waiting;
  // `renewed` is the sequence number of a kRenewSeq task added as due.
  // The id must not be pending. Throws std::bad_alloc, changing nothing.
  // The callable and the name are moved from only when the task is added.
  [[gnu::always_inline]] void add(Id id, StartClock clock, std::int64_t start, std::int64_t ready,
                                  Task&& fct, std::string&& name, std::uint8_t flags,
                                  Seq renewed = 0) {
    const bool renew = (flags & kRenewSeq) != 0;
    const Seq seq = renew ? renewed : seq_of(id);
    const bool fifo =
        clock == StartClock::due && !renew && (fifo_.empty() || seq > fifo_.back().seq);
    reserve_one(!fifo);
    const std::uint32_t s = free_head_;
    if (fifo) fifo_.push_back({seq, ready, s});  // the only step that may still throw
    Slot& slot = at(s);
    free_head_ = static_cast<std::uint32_t>(slot.tag >> 8);
    State state = State::due_fifo;
    if (!fifo) {
      if (clock == StartClock::due) {
        state = State::due_heap;
        push(promoted_, DueEntry{seq, ready, s});
      } else {
        state = clock == StartClock::wall ? State::wall : State::steady;
        push(clock == StartClock::wall ? wall_ : steady_, StartEntry{start, s});
      }
      insert_index(s, id);
      // Submissions come in id order: fetch the next id's cell ahead.
      __builtin_prefetch(&table_[home(id + 1)]);
    }
    slot.tag = (id << 8) | (Id{flags} << 3) | static_cast<Id>(state);
    slot.fct = std::move(fct);
    slot.name = std::move(name);
    ++live_;
  }

  // The sequence number of the first task in the FIFO whose ready time is
  // after `t`, or 0 when there is none. The FIFO's ready times are their
  // submission times, in submission order (up to the order in which
  // concurrent submitters read the clock). O(log n).
  Seq fifo_seq_after(std::int64_t t) const noexcept {
    const auto it = std::upper_bound(fifo_.begin(), fifo_.end(), t,
                                     [](std::int64_t v, const DueEntry& e) { return v < e.ready; });
    return it == fifo_.end() ? 0 : it->seq;
  }

  // Makes room for one task with a start time, or one with kRenewSeq: the
  // next such add() cannot throw. Throws std::bad_alloc.
  void reserve_queued() { reserve_one(true); }

  // Removes the pending task `id`, moving its payload to *out; returns false
  // when no pending task has that id.
  bool remove(Id id, PendingTask* out) { return take_out(id, out, nullptr); }

  // Makes due every task whose start time has come: wall start <= wall_now,
  // steady start <= steady_now. Promoted tasks count as waiting from their
  // start: a wall one from wall_now - start before steady_now (so a wall clock
  // set forward lengthens the wait), a steady one from its start. kRenewSeq
  // tasks get the
  // sequence number `renewed`.
  void promote(std::int64_t wall_now, std::int64_t steady_now, Seq renewed = 0) {
    promote(wall_now, steady_now, [renewed](std::int64_t) { return renewed; });
  }
  // The same, each kRenewSeq task getting renewed(its start time).
  template <class Renewed>
  void promote(std::int64_t wall_now, std::int64_t steady_now, Renewed&& renewed) {
    // Room first, so that no task is lost between two heaps if memory is short.
    const std::size_t most = promoted_.size() + wall_.size() + steady_.size();
    if (most > promoted_.capacity() &&
        (has_due_at(wall_, wall_now) || has_due_at(steady_, steady_now))) {
      promoted_.reserve(std::max(most, 2 * promoted_.capacity()));
    }
    while (has_due_at(wall_, wall_now)) {
      const StartEntry e = pop(wall_);
      std::int64_t late;  // >= 0, since the task is due
      if (__builtin_sub_overflow(wall_now, e.key, &late)) late = steady_now;
      make_due(e.slot, steady_now - std::min(late, steady_now), renewed);
      drop_dead_front(wall_);
    }
    while (has_due_at(steady_, steady_now)) {
      const StartEntry e = pop(steady_);
      make_due(e.slot, e.key, renewed);
      drop_dead_front(steady_);
    }
  }

  // Takes the due task that is first in due order: returns its id, moves its
  // payload to *out and its ready time to *ready. has_due() must hold.
  Id take(PendingTask* out, std::int64_t* ready) {
    return take(&out->fct, &out->name, &out->flags, ready);
  }
  // The same, moving the payload straight to its new owner's members.
  [[gnu::always_inline]] Id take(Task* fct, std::string* name, std::uint8_t* flags,
                                 std::int64_t* ready) {
    DueEntry e;
    Id id;
    if (promoted_.empty() || (!fifo_.empty() && fifo_.front().seq < promoted_.front().seq)) {
      e = fifo_.front();
      fifo_.pop_front();
      id = at(e.slot).id();
    } else {
      e = pop(promoted_);
      id = at(e.slot).id();
      erase_index_at(find_pos(id));
    }
    *ready = e.ready;
    Slot& slot = at(e.slot);
    *fct = std::move(slot.fct);
    *name = std::move(slot.name);
    *flags = static_cast<std::uint8_t>((slot.tag >> 3) & ((1u << kFlagBits) - 1));
    free_slot(e.slot);
    --live_;
    drop_dead_fronts();
    shrink_table();
    return id;
  }

  // Takes the pending task `id` if it is due (after the last promote()),
  // wherever it stands in due order: moves its payload to *out and its ready
  // time to *ready, and returns true. Returns false, changing nothing, when
  // no due task has that id. A task in the promoted heap carries its ready
  // time only in its heap entry, which a linear search over that heap finds
  // (the FIFO's entry is found by id anyway).
  bool take_due(Id id, PendingTask* out, std::int64_t* ready) { return take_out(id, out, ready); }

  // Moves every pending payload to `out` (appending), and empties the store.
  void clear(std::vector<PendingTask>& out) {
    out.reserve(out.size() + live_);
    for (std::uint32_t s = 0; s < slots_used_; ++s) {
      Slot& slot = at(s);
      if (slot.pending()) {
        out.emplace_back();
        take_payload(slot, &out.back());
      }
    }
    *this = PendingStore();
  }

  // Checks the invariants (for tests): returns false when one is broken.
  bool valid() const {
    std::size_t in_table = 0, pending = 0, dead_slots = 0;
    for (std::uint32_t s : table_) {
      if (s == kEmpty) continue;
      const State st = at(s).state();
      if (st != State::due_heap && st != State::wall && st != State::steady) return false;
      if (find_pos(at(s).id()) == kEmpty) return false;
      ++in_table;
    }
    for (std::uint32_t s = 0; s < slots_used_; ++s) {
      if (at(s).pending()) ++pending;
      if (at(s).state() == State::dead) ++dead_slots;
    }
    auto live_front = [this](const auto& q) { return q.empty() || !dead(q.front().slot); };
    return in_table == indexed_ && pending == live_ && dead_slots == dead_ && live_front(fifo_) &&
           live_front(promoted_) && live_front(wall_) && live_front(steady_) &&
           fifo_.size() + promoted_.size() + wall_.size() + steady_.size() == live_ + dead_;
  }

  // Calls f(id, name) for the `max_count` pending tasks of lowest id, in
  // ascending id order.
  template <typename F>
  void list(std::size_t max_count, F&& f) const {
    std::vector<std::pair<Id, std::uint32_t>> found;
    found.reserve(live_);
    for (std::uint32_t s = 0; s < slots_used_; ++s) {
      const Slot& slot = at(s);
      if (slot.pending()) found.emplace_back(slot.id(), s);
    }
    const std::size_t n = std::min(max_count, found.size());
    std::partial_sort(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(n), found.end());
    for (std::size_t i = 0; i < n; ++i) f(found[i].first, at(found[i].second).name);
  }

 private:
  enum class State : std::uint8_t { free, due_fifo, due_heap, wall, steady, dead };
  static constexpr std::uint32_t kEmpty = std::numeric_limits<std::uint32_t>::max();
  static constexpr std::uint32_t kChunkBits = 10;
  static constexpr std::uint32_t kChunk = 1u << kChunkBits;
  static constexpr std::size_t kMinTable = 16;

  struct Slot {
    Task fct;
    std::string name;
    Id tag = 0;  // id << 8 | flags << 3 | state; when free: next free slot << 8
    Id id() const noexcept { return tag >> 8; }
    State state() const noexcept { return static_cast<State>(tag & 7); }
    bool pending() const noexcept { return state() != State::free && state() != State::dead; }
  };

  // A due task: in the FIFO (ascending) or the promoted heap, by sequence
  // number.
  struct DueEntry {
    Seq seq;
    std::int64_t ready;
    std::uint32_t slot;
    // std heaps are max-heaps: "less" means "later".
    bool operator<(const DueEntry& o) const noexcept { return seq > o.seq; }
  };
  // A task waiting for its start time.
  struct StartEntry {
    std::int64_t key;
    std::uint32_t slot;
    bool operator<(const StartEntry& o) const noexcept { return key > o.key; }
  };

  Slot& at(std::uint32_t s) noexcept { return chunks_[s >> kChunkBits][s & (kChunk - 1)]; }
  const Slot& at(std::uint32_t s) const noexcept {
    return chunks_[s >> kChunkBits][s & (kChunk - 1)];
  }
  const std::vector<StartEntry>& heap(StartClock clock) const noexcept {
    return clock == StartClock::wall ? wall_ : steady_;
  }
  bool dead(std::uint32_t s) const noexcept { return at(s).state() == State::dead; }

  template <typename E>
  static void push(std::vector<E>& h, const E& e) {
    h.push_back(e);
    std::push_heap(h.begin(), h.end());
  }
  template <typename E>
  static E pop(std::vector<E>& h) {
    std::pop_heap(h.begin(), h.end());
    const E e = h.back();
    h.pop_back();
    return e;
  }
  static bool has_due_at(const std::vector<StartEntry>& h, std::int64_t now) noexcept {
    return !h.empty() && h.front().key <= now;
  }

  static void take_payload(Slot& slot, PendingTask* out) {
    out->fct = std::move(slot.fct);
    out->name = std::move(slot.name);
    out->flags = static_cast<std::uint8_t>((slot.tag >> 3) & ((1u << kFlagBits) - 1));
    slot.fct.reset();
    slot.name.clear();
  }

  // Takes the pending task `id` out, leaving a tombstone in its queue. With
  // `ready`, only a due task, whose ready time goes to *ready.
  bool take_out(Id id, PendingTask* out, std::int64_t* ready) {
    std::uint32_t s;
    const auto in_fifo = find_in_fifo(id);
    if (in_fifo != fifo_.end()) {
      s = in_fifo->slot;
      if (ready != nullptr) *ready = in_fifo->ready;
    } else {
      const std::uint32_t pos = find_pos(id);
      if (pos == kEmpty) return false;
      s = table_[pos];
      if (ready != nullptr) {
        if (at(s).state() != State::due_heap) return false;
        // A linear search, for a task run in place only: the heap holds
        // the tasks that became due later than their submission.
        *ready = std::numeric_limits<std::int64_t>::max();
        for (const DueEntry& e : promoted_) {
          if (e.slot == s) *ready = e.ready;
        }
      }
      erase_index_at(pos);
    }
    Slot& slot = at(s);
    take_payload(slot, out);
    slot.tag = (slot.tag & ~Id{7}) | static_cast<Id>(State::dead);
    --live_;
    ++dead_;
    drop_dead_fronts();
    if (dead_ > 64 && dead_ > live_) compact();
    shrink_table();
    return true;
  }

  template <class Renewed>
  void make_due(std::uint32_t s, std::int64_t ready, Renewed& renewed) {
    Slot& slot = at(s);
    slot.tag = (slot.tag & ~Id{7}) | static_cast<Id>(State::due_heap);
    const bool renew = ((slot.tag >> 3) & kRenewSeq) != 0;
    // Room was reserved by promote().
    push(promoted_, DueEntry{renew ? renewed(ready) : seq_of(slot.id()), ready, s});
  }

  void free_slot(std::uint32_t s) noexcept {
    at(s).tag = (Id{free_head_} << 8) | static_cast<Id>(State::free);
    free_head_ = s;
  }

  // Pops tombstones from the fronts of all queues, freeing their slots.
  void drop_dead_fronts() {
    if (__builtin_expect(dead_ == 0, 1)) return;
    drop_dead_fronts_slow();
  }
  __attribute__((noinline)) void drop_dead_fronts_slow() {
    while (!fifo_.empty() && dead(fifo_.front().slot)) {
      free_slot(fifo_.front().slot);
      fifo_.pop_front();
      --dead_;
    }
    drop_dead_front(promoted_);
    drop_dead_front(wall_);
    drop_dead_front(steady_);
  }
  template <typename E>
  void drop_dead_front(std::vector<E>& h) {
    while (!h.empty() && dead(h.front().slot)) {
      free_slot(pop(h).slot);
      --dead_;
    }
  }

  // Drops every tombstone from every queue.
  void compact() {
    auto drop = [this](const auto& e) {
      if (!dead(e.slot)) return false;
      free_slot(e.slot);
      return true;
    };
    fifo_.erase(std::remove_if(fifo_.begin(), fifo_.end(), drop), fifo_.end());
    compact_heap(promoted_, drop);
    compact_heap(wall_, drop);
    compact_heap(steady_, drop);
    dead_ = 0;
  }
  template <typename E, typename Drop>
  static void compact_heap(std::vector<E>& h, Drop drop) {
    h.erase(std::remove_if(h.begin(), h.end(), drop), h.end());
    std::make_heap(h.begin(), h.end());
  }

  // Makes sure that one more task fits in the slab, the heaps and the table,
  // so that add() either throws before changing anything or succeeds.
  // `queued`: the task goes to a heap and the id table (not the FIFO).
  void reserve_one(bool queued = true) {
    if (__builtin_expect(free_head_ != kEmpty && !queued, 1)) return;
    reserve_one_slow(queued);
  }
  __attribute__((noinline)) void reserve_one_slow(bool queued) {
    if (free_head_ == kEmpty) {
      // A new chunk: all its slots go on the free list at once, lowest first.
      if (slots_used_ >= kEmpty - kChunk) throw std::bad_alloc();
      chunks_.reserve(chunks_.size() + 1);
      chunks_.push_back(std::make_unique<Slot[]>(kChunk));
      for (std::uint32_t i = kChunk; i-- > 0;) free_slot(slots_used_ + i);
      slots_used_ += kChunk;
    }
    if (!queued) return;
    grow_if_full(promoted_);
    grow_if_full(wall_);
    grow_if_full(steady_);
    if ((indexed_ + 1) * 2 > table_.size()) rehash(table_.size() * 2);
  }
  template <typename E>
  static void grow_if_full(std::vector<E>& h) {
    if (h.size() == h.capacity()) h.reserve(std::max<std::size_t>(16, 2 * h.size()));
  }

  // --- The id table: open addressing, linear probing, slot numbers ---------

  std::size_t home(Id id) const noexcept {
    // Fibonacci hashing: the top bits of id times 2^64 / phi scatter
    // consecutive ids, so that no long runs of occupied cells form.
    return static_cast<std::size_t>((id * 0x9E3779B97F4A7C15ull) >> (64 - table_bits_));
  }
  std::uint32_t find_pos(Id id) const noexcept {
    const std::size_t mask = table_.size() - 1;
    for (std::size_t i = home(id);; i = (i + 1) & mask) {
      const std::uint32_t s = table_[i];
      if (s == kEmpty) return kEmpty;
      if (at(s).id() == id) return static_cast<std::uint32_t>(i);
    }
  }
  // The FIFO holds plain tasks in ascending order, so ascending ids: binary
  // search, no table entry needed.
  std::deque<DueEntry>::const_iterator find_in_fifo(Id id) const noexcept {
    const Seq seq = seq_of(id);
    if (fifo_.empty() || seq < fifo_.front().seq || seq > fifo_.back().seq) return fifo_.end();
    const auto it = std::lower_bound(fifo_.begin(), fifo_.end(), seq,
                                     [](const DueEntry& e, Seq key) { return e.seq < key; });
    if (it == fifo_.end() || it->seq != seq || dead(it->slot)) return fifo_.end();
    return it;
  }
  // `id` is passed because the slot does not hold it yet.
  void insert_index(std::uint32_t s, Id id) noexcept {
    const std::size_t mask = table_.size() - 1;
    std::size_t i = home(id);
    while (table_[i] != kEmpty) i = (i + 1) & mask;
    table_[i] = s;
    ++indexed_;
  }
  // Backward-shift deletion keeps every probe sequence unbroken.
  void erase_index_at(std::size_t i) noexcept {
    const std::size_t mask = table_.size() - 1;
    std::size_t j = i;
    for (;;) {
      j = (j + 1) & mask;
      if (table_[j] == kEmpty) break;
      const std::size_t k = home(at(table_[j]).id());
      // Move the entry at j back to i unless its home lies cyclically in (i, j].
      const bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
      if (!stays) {
        table_[i] = table_[j];
        i = j;
      }
    }
    table_[i] = kEmpty;
    --indexed_;
  }
  // Halves a table that has become sparse. Called when every slot's state is
  // final, since rehash() reads the states.
  void shrink_table() noexcept {
    if (__builtin_expect(table_.size() <= kMinTable || indexed_ * 8 >= table_.size(), 1)) return;
    shrink_table_slow();
  }
  __attribute__((noinline)) void shrink_table_slow() noexcept {
    try {
      rehash(table_.size() / 2);
    } catch (...) {  // NOLINT(bugprone-empty-catch): a larger table is as correct
    }
  }
  // Walks the slab in order (not the old table), so that reading the ids is
  // a sequential scan.
  void rehash(std::size_t size) {
    std::vector<std::uint32_t> fresh(size, kEmpty);
    fresh.swap(table_);
    table_bits_ = 0;
    while ((std::size_t{1} << table_bits_) < size) ++table_bits_;
    indexed_ = 0;
    for (std::uint32_t s = 0; s < slots_used_; ++s) {
      const State state = at(s).state();
      if (state == State::due_heap || state == State::wall || state == State::steady) {
        insert_index(s, at(s).id());
      }
    }
  }

  std::vector<std::unique_ptr<Slot[]>> chunks_;
  std::uint32_t slots_used_ = 0;
  std::uint32_t free_head_ = kEmpty;
  std::deque<DueEntry> fifo_;
  std::vector<DueEntry> promoted_;
  std::vector<StartEntry> wall_, steady_;
  std::vector<std::uint32_t> table_;
  unsigned table_bits_ = 4;
  std::size_t indexed_ = 0;  // tasks in the table: those in a heap
  std::size_t live_ = 0;
  std::size_t dead_ = 0;
};

}  // namespace vexo::util::detail
