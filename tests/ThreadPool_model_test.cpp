// The pool's private parts against plain models: the pending-task store (header-only) and the
// scheduler, both built into this test.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "pending_store.hpp"  // the pool's private pending-task store, header-only
#include "pool_test_names.hpp"
#include "pool_test_support.hpp"
#include "scheduler.hpp"  // and its scheduler, built into this test too
#include "tamu/cat.hpp"
#include "test_support.hpp"
#include "vexo/util/ThreadPool.hpp"

namespace {

using namespace vexo::test::pool_names;

// The pending-task store against a plain model: a vector scanned in full.
// Re-added ids (as a series' next run) carry kRenewSeq, so that their due
// order comes from the sequence number given when they become due.
TEST(PendingStore, MatchesAPlainModelOverRandomOperations) {
  using vexo::util::detail::PendingStore;
  using vexo::util::detail::PendingTask;
  using vexo::util::detail::StartClock;
  struct Model {
    std::uint64_t id;
    StartClock clock;
    std::int64_t start;
    bool due;
    bool renew;
    std::uint8_t flags;
    PendingStore::Seq seq;  // once due
  };
  std::mt19937_64 rng(20261208);
  PendingStore store;
  std::vector<Model> model;
  std::vector<std::uint64_t> gone;  // ids taken or removed, for re-adds (as a series does)
  std::int64_t wall = -1000, steady = 5000;
  std::uint64_t next_id = 0;
  std::uint64_t renewals = 0;
  // As the pool does: behind every id issued so far, ahead of the next one.
  auto renewed_seq = [&] { return (next_id << PendingStore::kSeqShift) + 1 + (renewals++ % 4000); };
  auto name_of = [](std::uint64_t id) { return tamu::cat("task ", id); };
  auto find = [&](std::uint64_t id) {
    return std::find_if(model.begin(), model.end(), [id](const Model& m) { return m.id == id; });
  };
  for (int op = 0; op < 60000; ++op) {
    // Phases of growth and of draining, so that the table grows and shrinks
    // and tombstones pile up.
    const bool growing = (op / 5000) % 2 == 0;
    const auto r = rng() % 16;
    if (r < (growing ? 7u : 3u)) {
      std::uint64_t id = next_id;
      bool renew = false;
      if (!gone.empty() && rng() % 8 == 0) {
        const auto i = rng() % gone.size();
        id = gone[i];
        gone.erase(gone.begin() + static_cast<std::ptrdiff_t>(i));
        renew = true;
      } else {
        ++next_id;
      }
      const auto clock = static_cast<StartClock>(rng() % 3);
      const std::int64_t start =
          (clock == StartClock::wall ? wall : steady) + static_cast<std::int64_t>(rng() % 200) - 20;
      const auto flags =
          static_cast<std::uint8_t>((id % 16) | (renew ? PendingStore::kRenewSeq : 0));
      const PendingStore::Seq renewed = renewed_seq();
      store.add(id, clock, start, steady, vexo::util::Task([] {}), name_of(id), flags, renewed);
      const bool due = clock == StartClock::due;
      model.push_back({id, clock, start, due, renew, flags,
                       due ? (renew ? renewed : PendingStore::seq_of(id)) : 0});
    } else if (r < 10) {
      const std::uint64_t id = rng() % (next_id + 2);
      PendingTask out;
      const auto it = find(id);
      ASSERT_EQ(store.remove(id, &out), it != model.end()) << "remove " << id;
      if (it != model.end()) {
        EXPECT_EQ(out.name, name_of(id));
        EXPECT_EQ(out.flags, it->flags);
        model.erase(it);
        gone.push_back(id);
      }
    } else if (r < 14) {
      const PendingStore::Seq renewed = renewed_seq();
      store.promote(wall, steady, renewed);
      for (Model& m : model) {
        const bool now_due = (m.clock == StartClock::wall && m.start <= wall) ||
                             (m.clock == StartClock::steady && m.start <= steady);
        if (!m.due && now_due) {
          m.due = true;
          m.seq = m.renew ? renewed : PendingStore::seq_of(m.id);
        }
      }
      auto best = model.end();
      for (auto it = model.begin(); it != model.end(); ++it) {
        if (it->due && (best == model.end() || it->seq < best->seq)) best = it;
      }
      ASSERT_EQ(store.has_due(), best != model.end());
      if (best == model.end()) continue;
      PendingTask out;
      std::int64_t ready = 0;
      const std::uint64_t taken = store.take(&out, &ready);
      // Runs renewed by one promote() tie; any of them may come first.
      const auto it = find(taken);
      ASSERT_TRUE(it != model.end() && it->due && it->seq == best->seq) << "took " << taken;
      EXPECT_EQ(out.name, name_of(taken));
      gone.push_back(taken);
      model.erase(it);
    } else if (r == 14) {
      wall += static_cast<std::int64_t>(rng() % 40);
      steady += static_cast<std::int64_t>(rng() % 40);
    } else if (rng() % 64 == 0) {
      std::vector<std::uint64_t> ids;
      store.list(10, [&](std::uint64_t id, const std::string& name) {
        EXPECT_EQ(name, name_of(id));
        ids.push_back(id);
      });
      std::vector<std::uint64_t> expected;
      for (const Model& m : model) expected.push_back(m.id);
      std::sort(expected.begin(), expected.end());
      expected.resize(std::min<std::size_t>(expected.size(), 10));
      ASSERT_EQ(ids, expected);
    } else {
      // A due task taken out of order, as a waiting task runs it in place.
      const std::uint64_t id = rng() % (next_id + 2);
      const auto it = find(id);
      const bool due = it != model.end() && it->due;
      PendingTask out;
      std::int64_t ready = 0;
      ASSERT_EQ(store.take_due(id, &out, &ready), due) << "take_due " << id;
      if (due) {
        EXPECT_EQ(out.name, name_of(id));
        model.erase(it);
        gone.push_back(id);
      }
    }
    // Invariants after every operation.
    ASSERT_EQ(store.size(), model.size());
    if (op % 64 == 0) {
      ASSERT_TRUE(store.valid()) << "after operation " << op;
    }
    for (const StartClock clock : {StartClock::wall, StartClock::steady}) {
      std::int64_t earliest = std::numeric_limits<std::int64_t>::max();
      bool any = false;
      for (const Model& m : model) {
        if (m.clock == clock && !m.due) {
          earliest = std::min(earliest, m.start);
          any = true;
        }
      }
      ASSERT_EQ(store.has_waiting(clock), any);
      if (any) {
        ASSERT_EQ(store.earliest(clock), earliest);
      }
    }
    const std::uint64_t probe = rng() % (next_id + 2);
    ASSERT_EQ(store.contains(probe), find(probe) != model.end());
  }
  std::vector<PendingTask> cleared;
  store.clear(cleared);
  EXPECT_EQ(cleared.size(), model.size());
  EXPECT_TRUE(store.empty());
}

// --- The scheduler against a plain model ---------------------------------------

// Drives the scheduler on this one thread, as three workers would, through
// random submissions (due, delayed and series; some taking a stop token),
// starts, ends, removals, stops and clears, and checks every query after
// every step. Tasks delayed by an hour and series with an hour's period
// never become due during the test, so the model needs no clock.
// With a capacity, every task goes to the store; without one, due tasks go
// to a ring of four slots, which overflows into the store, so the two are
// checked together.
class PoolScheduler : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PoolScheduler, MatchesAPlainModelOverRandomOperations) {
  using vexo::util::detail::Run;
  using vexo::util::detail::Scheduler;
  using vexo::util::detail::StartClock;
  using TaskId = ThreadPool::TaskId;
  constexpr std::size_t kWorkers = 3;
  const std::size_t kCapacity = GetParam();
  struct Model {
    bool series = false;
    bool due = false;
    bool token = false;
    bool ended = false;  // a series ended during its run
  };
  Scheduler scheduler(kWorkers, kCapacity, 4);
  std::map<TaskId, Model> pending;  // ordered by id: due order, for plain first runs
  std::map<TaskId, Model> running;
  std::array<std::optional<TaskId>, kWorkers> on_worker;
  std::vector<std::unique_ptr<Run>> runs;
  for (std::size_t w = 0; w < kWorkers; ++w) runs.push_back(std::make_unique<Run>(scheduler, w));
  std::map<TaskId, int> times_run;
  std::uint64_t submitted = 0, completed = 0, removed_count = 0;
  TaskId next_id = 0;
  std::mt19937_64 rng(20261209);
  auto running_series = [&] {
    return std::count_if(running.begin(), running.end(),
                         [](const auto& r) { return r.second.series; });
  };
  auto end_run = [&](std::size_t w) {
    const TaskId id = *on_worker[w];
    Model m = running.at(id);
    running.erase(id);
    on_worker[w].reset();
    ++completed;
    if (m.series && !m.ended) {
      m.due = false;  // the next run is an hour away
      pending[id] = m;
    }
  };
  for (int op = 0; op < 20000; ++op) {
    const auto r = rng() % 20;
    if (r < 6) {  // submit
      const bool series = rng() % 4 == 0;
      const bool due = series || rng() % 3 != 0;
      const bool token = rng() % 2 == 0;
      vexo::util::Task task;
      if (token) {
        task = [&times_run, id = next_id](std::stop_token) { ++times_run[id]; };
      } else {
        task = [&times_run, id = next_id] { ++times_run[id]; };
      }
      std::string name = tamu::cat("t", next_id);
      const Scheduler::SeriesSettings settings{1h, ThreadPool::Recurrence::fixed_rate};
      const auto start = due ? std::int64_t{0}
                             : (vexo::util::detail::steady_now() + 1h).time_since_epoch().count();
      const auto id =
          scheduler.add(task, name, series || !due ? StartClock::steady : StartClock::due, start,
                        Scheduler::WhenFull::give_up, {}, series ? &settings : nullptr);
      const bool fits = pending.size() + static_cast<std::size_t>(running_series()) < kCapacity;
      ASSERT_EQ(id.has_value(), fits) << "op " << op;
      EXPECT_EQ(static_cast<bool>(task), !fits);  // moved from only when accepted
      if (id) {
        ASSERT_EQ(*id, next_id);
        pending[next_id++] = Model{series, due, token, false};
        ++submitted;
      }
    } else if (r < 11) {  // a worker ends its run (if any) and takes the next
      const std::size_t w = rng() % kWorkers;
      if (on_worker[w]) runs[w]->execute([](void*, const Run&, const char*) {}, nullptr);
      vexo::util::Task spent;
      const bool took = scheduler.next(*runs[w], spent, false);
      if (on_worker[w]) end_run(w);
      // The due task of lowest id: due order here, since no series run was renewed.
      auto best =
          std::find_if(pending.begin(), pending.end(), [](const auto& p) { return p.second.due; });
      ASSERT_EQ(took, best != pending.end()) << "op " << op;
      if (took) {
        ASSERT_EQ(runs[w]->id(), best->first) << "op " << op;
        running[best->first] = best->second;
        on_worker[w] = best->first;
        pending.erase(best);
      }
    } else if (r < 13) {  // a worker ends its run without taking another
      const std::size_t w = rng() % kWorkers;
      if (!on_worker[w]) continue;
      runs[w]->execute([](void*, const Run&, const char*) {}, nullptr);
      scheduler.end(*runs[w]);
      end_run(w);
    } else if (r < 16) {  // remove or stop one
      const TaskId id = rng() % (next_id + 2);
      const bool stop = rng() % 2 == 0;
      vexo::util::Task removed;
      const bool result =
          stop ? scheduler.request_stop(id, removed) : scheduler.remove(id, removed);
      bool expected = false;
      if (pending.count(id) != 0) {
        expected = true;
        pending.erase(id);
        ++removed_count;
      } else if (running.count(id) != 0) {
        Model& m = running[id];
        if (m.series) {
          expected = stop || !m.ended;
          if (!m.ended) ++removed_count;
          m.ended = true;
        } else {
          expected = stop && m.token;
        }
      }
      ASSERT_EQ(result, expected) << (stop ? "stop " : "remove ") << id << " at op " << op;
    } else if (r == 16 && rng() % 8 == 0) {  // clear
      std::vector<vexo::util::Task> removed;
      std::size_t count = pending.size();
      for (auto& [id, m] : running) {
        if (m.series && !m.ended) {
          m.ended = true;
          ++count;
        }
      }
      ASSERT_EQ(scheduler.remove_all(removed), count);
      removed_count += count;
      pending.clear();
    }
    // Every query, after every step.
    ASSERT_TRUE(scheduler.valid()) << "op " << op;
    ASSERT_EQ(scheduler.num_pending(), pending.size());
    ASSERT_EQ(scheduler.is_empty(), pending.empty());
    ASSERT_EQ(scheduler.is_idle(), pending.empty() && running.empty());
    ASSERT_EQ(scheduler.is_full(),
              pending.size() + static_cast<std::size_t>(running_series()) >= kCapacity);
    const TaskId probe = rng() % (next_id + 2);
    ASSERT_EQ(scheduler.is_pending(probe), pending.count(probe) != 0);
    ASSERT_EQ(scheduler.is_running(probe), running.count(probe) != 0);
    ASSERT_EQ(scheduler.is_pending_or_running(probe),
              pending.count(probe) != 0 || running.count(probe) != 0);
    std::vector<TaskId> listed, expected_pending, running_ids, expected_running;
    scheduler.list_pending(SIZE_MAX, [&](TaskId id, const std::string& name) {
      EXPECT_EQ(name, tamu::cat("t", id));
      listed.push_back(id);
    });
    for (const auto& p : pending) expected_pending.push_back(p.first);
    ASSERT_EQ(listed, expected_pending);
    scheduler.list_running([&](TaskId id, const std::string&) { running_ids.push_back(id); });
    for (const auto& p : running) expected_running.push_back(p.first);
    ASSERT_EQ(running_ids, expected_running);
    const ThreadPool::Stats stats = scheduler.stats();
    ASSERT_EQ(stats.submitted, submitted);
    ASSERT_EQ(stats.completed, completed);
    ASSERT_EQ(stats.removed, removed_count);
  }
  for (const auto& [id, n] : times_run) EXPECT_EQ(n, 1) << id;  // no task ran twice
  // End the runs still going, so that the records' destructors find nothing to do.
  for (std::size_t w = 0; w < kWorkers; ++w) {
    if (on_worker[w]) scheduler.end(*runs[w]);
  }
}

INSTANTIATE_TEST_SUITE_P(Capacity, PoolScheduler, ::testing::Values(6, SIZE_MAX));

// A series' run that became due before a plain task was submitted runs before
// it, however the plain task travelled: through a ring that overflowed into
// the store, or past two series' runs that a worker makes due together, one
// due before the submission and one after it. Only the first run of each
// series is taken (their periods are an hour). The waits let a start time
// pass; a slow machine only moves the submissions later, which the expected
// orders take into account.
TEST(PoolSchedulerOrder, RenewedRunsKeepTheirPlaceAgainstLockFreeSubmissions) {
  using vexo::util::Task;
  using vexo::util::detail::Run;
  using vexo::util::detail::Scheduler;
  using vexo::util::detail::StartClock;
  using vexo::util::detail::steady_now;
  using vexo::util::detail::SteadyTime;
  using TaskId = ThreadPool::TaskId;
  const auto ns = [](SteadyTime t) { return t.time_since_epoch().count(); };
  const auto add_plain = [](Scheduler& s) {
    Task fct([] {});
    std::string name;
    return *s.add(fct, name, StartClock::due, 0, Scheduler::WhenFull::throw_error);
  };
  const auto add_series = [&ns](Scheduler& s, SteadyTime start) {
    Task fct([] {});
    std::string name;
    const Scheduler::SeriesSettings settings{1h, ThreadPool::Recurrence::fixed_rate};
    return *s.add(fct, name, StartClock::steady, ns(start), Scheduler::WhenFull::throw_error, {},
                  &settings);
  };
  const auto wait_past = [](SteadyTime t) {
    while (steady_now() <= t) std::this_thread::sleep_for(1ms);
  };
  // The ids in the order one worker takes them, until nothing is due.
  const auto taken = [](Scheduler& s) {
    Run run(s, 0);
    Task spent;
    std::vector<TaskId> ids;
    while (s.next(run, spent, false)) ids.push_back(run.id());
    return ids;
  };
  {
    // A ring of four slots: the fifth submission moves the first four to the store.
    Scheduler s(1, SIZE_MAX, 4);
    const SteadyTime start = steady_now() + 20ms;
    ASSERT_EQ(add_series(s, start), 0u);
    wait_past(start);
    for (TaskId id = 1; id <= 6; ++id) ASSERT_EQ(add_plain(s), id);
    EXPECT_EQ(taken(s), (std::vector<TaskId>{0, 1, 2, 3, 4, 5, 6}));
  }
  {
    Scheduler s(1, SIZE_MAX);
    const SteadyTime t0 = steady_now();
    const SteadyTime first = t0 + 20ms, second = t0 + 300ms;
    ASSERT_EQ(add_series(s, first), 0u);
    ASSERT_EQ(add_series(s, second), 1u);
    wait_past(first);
    const SteadyTime submitted = steady_now();
    ASSERT_EQ(add_plain(s), 2u);
    wait_past(second);
    const std::vector<TaskId> order = taken(s);
    if (submitted < second) {
      EXPECT_EQ(order, (std::vector<TaskId>{0, 2, 1}));
    } else {
      ASSERT_EQ(order.size(), 3u);  // both runs were due before the submission
      EXPECT_EQ(order.back(), 2u);
    }
  }
}

}  // namespace
