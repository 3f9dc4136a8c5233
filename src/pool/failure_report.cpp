// Reports the failures of the pool's tasks; nothing on the default path allocates, so a task that
// throws std::bad_alloc while memory stays exhausted is reported too.
#include "failure_report.hpp"

#include <cxxabi.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iostream>

#include "forced_unwind.hpp"

namespace vexo::util::detail {

namespace {

// Serialises the diagnostic lines of all pools, so that two workers' lines
// never interleave.
std::mutex& diagnostic_mutex() {
  static std::mutex mutex;
  return mutex;
}

// Gathers one line in a fixed buffer and writes it to std::cerr in as few
// pieces as it takes; nothing here allocates (unless std::cerr was given a
// buffer that does, in which case a failure falls back to file descriptor 2).
class LineWriter {
 public:
  LineWriter& operator<<(const char* text) {
    append(text, std::strlen(text));
    return *this;
  }
  LineWriter& operator<<(const std::string& text) {
    append(text.data(), text.size());
    return *this;
  }
  void finish() noexcept {
    append("\n", 1);
    flush();
  }

 private:
  void append(const char* text, std::size_t n) noexcept {
    while (n > 0) {
      if (used_ == sizeof buffer_) flush();
      const std::size_t k = std::min(n, sizeof buffer_ - used_);
      std::memcpy(buffer_ + used_, text, k);
      used_ += k;
      text += k;
      n -= k;
    }
  }
  void flush() noexcept {
    try {
      std::cerr.write(buffer_, static_cast<std::streamsize>(used_));
      std::cerr.flush();
    } catch (...) {
      std::size_t done = 0;
      while (done < used_) {
        const ssize_t w = ::write(STDERR_FILENO, buffer_ + done, used_ - done);
        if (w <= 0) break;
        done += static_cast<std::size_t>(w);
      }
    }
    used_ = 0;
  }

  char buffer_[1024];
  std::size_t used_ = 0;
};

}  // namespace

void report_line(const char* prefix, const std::string& name, const char* what) noexcept {
  std::lock_guard<std::mutex> guard(diagnostic_mutex());
  LineWriter line;
  line << prefix << "\"" << name << "\": " << (what != nullptr ? what : "<null what()>");
  line.finish();
}

void FailureReporter::set_handler(Handler handler) {
  std::shared_ptr<const Handler> h;
  if (handler) h = std::make_shared<const Handler>(std::move(handler));
  std::lock_guard<std::mutex> guard(mutex_);
  handler_.swap(h);  // the old handler is destroyed after the guard
}

VEXO_CATCHES_FORCED_UNWIND void FailureReporter::report(ThreadPool::TaskId id,
                                                        const std::string& name, const char* what) {
  std::shared_ptr<const Handler> h;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    h = handler_;
  }
  if (!h) {
    report_line("Exception in task ", name, what);
    return;
  }
  try {
    (*h)(id, name, std::current_exception());
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::exception& e) {
    report_line("Exception in exception handler for task ", name, e.what());
  } catch (...) {
    report_line("Exception in exception handler for task ", name, "unknown exception");
  }
}

}  // namespace vexo::util::detail
