// The thread pool's failure reporting: a task's exception goes to the user's
// handler or to one line on std::cerr, written without allocating.
#pragma once

#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "vexo/util/ThreadPool.hpp"

namespace vexo::util::detail {

class FailureReporter {
 public:
  using Handler = ThreadPool::ExceptionHandler;

  // Replaces the handler (empty: the default line). The old handler is
  // destroyed after the reporter's own lock is released.
  void set_handler(Handler handler);

  // Reports the exception in flight (called from a catch block) of the task
  // `id` named `name`, whose what() is `what`: to the handler, or as the line
  //   Exception in task "<name>": <what>
  // A handler that throws is reported by a line of its own. Never throws,
  // except a forced unwinding, which goes on.
  void report(ThreadPool::TaskId id, const std::string& name, const char* what);

 private:
  std::mutex mutex_;
  std::shared_ptr<const Handler> handler_;  // guarded by mutex_
};

// Writes `prefix"name": what` and a newline to std::cerr without allocating;
// lines from all threads never interleave.
void report_line(const char* prefix, const std::string& name, const char* what) noexcept;

}  // namespace vexo::util::detail
