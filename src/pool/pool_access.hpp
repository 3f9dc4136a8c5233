// What the library's TaskGroup and parallel_for may do with a pool that its users may not.
#pragma once

#include <optional>
#include <string>

#include "vexo/util/ThreadPool.hpp"

namespace vexo::util::detail {

class Scheduler;

struct PoolAccess {
  // As try_add_task(fct, name), for a helper task: it counts in the pool's
  // helpers_ statistics instead of the tasks'.
  static std::optional<ThreadPool::TaskId> try_add_helper(ThreadPool& pool, Task&& fct,
                                                          std::string name);
  // The pool's scheduler, for its helpers' look at what else is due.
  static const Scheduler& scheduler(const ThreadPool& pool) noexcept;
};

}  // namespace vexo::util::detail
