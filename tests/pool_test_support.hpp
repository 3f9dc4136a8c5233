// What the pool's test programs share: a latch, a generous poll, captures of
// std::cerr and of file descriptor 2, and a bound on a call that may hang.
#pragma once

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>

namespace vexo::test {

// Counts down to zero; wait() blocks until then.
class Latch {
 public:
  explicit Latch(int count) : count_(count) {}
  void count_down() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--count_ == 0) cv_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return count_ <= 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int count_;
};

// Waits (generously) until `done` holds; returns its last value.
inline bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Sends std::cerr to a string for the lifetime of the object.
class CaptureCerr {
 public:
  CaptureCerr() : old_(std::cerr.rdbuf(buffer_.rdbuf())) {}
  ~CaptureCerr() { std::cerr.rdbuf(old_); }
  CaptureCerr(const CaptureCerr&) = delete;
  CaptureCerr& operator=(const CaptureCerr&) = delete;
  std::string text() const { return buffer_.str(); }

 private:
  std::ostringstream buffer_;
  std::streambuf* old_;
};

// Sends file descriptor 2 to a temporary file for the lifetime of the object.
class CaptureStderrFd {
 public:
  CaptureStderrFd() : file_(std::tmpfile()), saved_(dup(STDERR_FILENO)) {
    std::fflush(stderr);
    dup2(fileno(file_), STDERR_FILENO);
  }
  ~CaptureStderrFd() {
    restore();
    std::fclose(file_);
  }
  std::string text() {
    restore();
    std::string out;
    std::rewind(file_);
    for (int c; (c = std::fgetc(file_)) != EOF;) out.push_back(static_cast<char>(c));
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  std::FILE* file_;
  int saved_;
};

// Blocks until a stop is requested through `token` (at once if it was).
inline void wait_for_stop(std::stop_token token) {
  std::mutex mutex;
  std::condition_variable_any cv;
  std::unique_lock<std::mutex> lock(mutex);
  (void)cv.wait(lock, std::move(token), [] { return false; });
}

// Runs f on a thread of its own and returns whether it ended within `limit`.
// A call that hangs is left behind (detached), so that the test can fail.
inline bool finishes_within(std::function<void()> f, std::chrono::seconds limit) {
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  auto state = std::make_shared<State>();
  std::thread([state, f = std::move(f)] {
    f();
    std::lock_guard<std::mutex> lock(state->mutex);
    state->done = true;
    state->cv.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(state->mutex);
  return state->cv.wait_for(lock, limit, [&] { return state->done; });
}

// Runs `f` on a thread of its own and returns once it has returned. A call
// that has not returned within a minute hangs: the process is ended with a
// message, since the hung call holds objects of the test.
inline void expect_returns(const char* what, std::function<void()> f) {
  using namespace std::chrono_literals;
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> returned = done->get_future();
  std::thread([f = std::move(f), done] {
    f();
    done->set_value();
  }).detach();
  if (returned.wait_for(60s) != std::future_status::ready) {
    std::fprintf(stderr, "HANG: %s has not returned within 60 s\n", what);
    std::fflush(stderr);
    std::_Exit(1);
  }
  returned.get();
}

}  // namespace vexo::test
