// The thread pool's workers: each takes a task from the scheduler, runs it with no lock held, and
// goes back for the next.
#include "workers.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "forced_unwind.hpp"

namespace vexo::util::detail {

namespace {

// Workers leave these signals to the process's other threads.
void block_signals() noexcept {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGALRM, SIGINT, SIGPIPE, SIGTERM, SIGURG, SIGUSR1, SIGUSR2})
    sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

void Workers::start() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    threads_.reserve(count_);
    missing_slots_.reserve(count_);
  }
  try {
    for (std::size_t i = 0; i < count_; ++i) {
      std::thread t([this, i] { main(i); });
      std::lock_guard<std::mutex> guard(mutex_);
      threads_.push_back(std::move(t));  // reserved: does not throw
    }
  } catch (...) {
    scheduler_.stop_workers();
    join();
    throw;
  }
}

void Workers::join() noexcept {
  // No worker replaces itself once joining_ is set, so the lists are final.
  std::vector<std::thread> all;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    joining_ = true;
    all.swap(threads_);
    for (std::thread& t : retired_) all.push_back(std::move(t));
    retired_.clear();
  }
  for (std::thread& thread : all) {
    if (thread.joinable()) thread.join();
  }
}

// Cuts the name at a character boundary, so that a multi-byte UTF-8
// character is never split.
void Workers::name_thread(std::size_t worker) const noexcept {
  if (name_.empty()) return;
  char suffix[24];
  const int n = std::snprintf(suffix, sizeof suffix, "-%zu", worker);
  char name[16];
  std::size_t keep = std::min(name_.size(), sizeof name - 1 - static_cast<std::size_t>(n));
  while (keep > 0 && keep < name_.size() &&
         (static_cast<unsigned char>(name_[keep]) & 0xC0) == 0x80) {
    --keep;
  }
  std::memcpy(name, name_.data(), keep);
  std::memcpy(name + keep, suffix, static_cast<std::size_t>(n) + 1);
  pthread_setname_np(pthread_self(), name);
}

VEXO_CATCHES_FORCED_UNWIND void Workers::main(std::size_t worker) {
  block_signals();
  name_thread(worker);
  scheduler_.enter_worker(worker);
  // The run outlives the catch below, so that its id and name are still
  // there to report; its destructor records the end on the way out.
  Run run(scheduler_, worker);
  try {
    loop(run);
  } catch (abi::__forced_unwind&) {
    // The end of the dying run is recorded first: the replacement takes
    // the same worker's place in the record of running tasks.
    run.end_if_active();
    replace(worker, run.id(), run.name());
    throw;
  }
}

void Workers::loop(Run& run) {
  Task spent;
  while (scheduler_.next(run, spent)) {
    spent.reset();  // the last task's callable, destroyed with no lock held
    execute(run);
  }
}

void Workers::execute(Run& run) {
  run.execute(
      [](void* reporter, const Run& r, const char* what) {
        static_cast<FailureReporter*>(reporter)->report(r.id(), r.name(), what);
      },
      &reporter_);
}

void Workers::replace(std::size_t worker, TaskId id, const std::string& name) noexcept {
  std::lock_guard<std::mutex> guard(mutex_);
  if (joining_) return;
  const auto self = std::find_if(threads_.begin(), threads_.end(), [](const std::thread& t) {
    return t.get_id() == std::this_thread::get_id();
  });
  // This thread is ending: whoever joins the pool joins it, or, if there is
  // no room to record it, nobody needs to.
  auto retire_self = [&]() noexcept {
    if (self == threads_.end()) return;
    try {
      retired_.push_back(std::move(*self));
    } catch (...) {
      self->detach();
    }
  };
  try {
    retired_.reserve(retired_.size() + 2);
    std::thread replacement([this, worker] { main(worker); });
    if (self != threads_.end()) {
      retired_.push_back(std::move(*self));  // reserved: does not throw
      *self = std::move(replacement);
    } else {
      // Not listed yet (the constructor is still starting workers): the
      // constructor lists this thread, the replacement is joined from here.
      retired_.push_back(std::move(replacement));
    }
  } catch (const std::exception& e) {
    reporter_.report(id, name, e.what());
    retire_self();
    missing_slots_.push_back(worker);  // reserved for every worker: does not throw
    missing_.store(missing_slots_.size(), std::memory_order_relaxed);
  }
}

void Workers::restart_missing_slow() noexcept {
  std::lock_guard<std::mutex> guard(mutex_);
  if (joining_) return;
  while (!missing_slots_.empty()) {
    const std::size_t worker = missing_slots_.back();
    try {
      retired_.reserve(retired_.size() + 1);
      std::thread t([this, worker] { main(worker); });
      retired_.push_back(std::move(t));  // joined by join(), like any replacement
    } catch (...) {  // NOLINT(bugprone-empty-catch): tried again at the next submission
      break;
    }
    missing_slots_.pop_back();
  }
  missing_.store(missing_slots_.size(), std::memory_order_relaxed);
}

}  // namespace vexo::util::detail
