// What several test programs need: sanitizer detection, random and
// hexadecimal bytes, streaming in random pieces, the message of a thrown vexo::Error, a gate for
// holding threads in a known phase, and a count of heap allocations (or their failure).
//
// Each test program is one translation unit. A program that counts
// allocations defines VEXO_TEST_COUNT_ALLOCATIONS before including this
// header, which then replaces the global operator new and delete for it and
// defines VEXO_TEST_ALLOCATIONS_COUNTED; a thread that sets
// t_fail_allocations then sees every allocation throw std::bad_alloc, as when
// memory is exhausted. The sanitizers bring their own
// operator new, so the count is only kept in plain builds.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tamu/span.hpp"
#include "vexo/util/exceptions.hpp"

namespace vexo::test {

// Whether the program runs under an emulator: ctest says so in a cross build
// (cmake/toolchains), whose programs run under qemu-user. A limit on the
// process's address space then binds the emulator's own mappings as well.
inline bool emulated() { return std::getenv("VEXO_TEST_EMULATED") != nullptr; }

}  // namespace vexo::test

#if defined(__SANITIZE_THREAD__)
#define VEXO_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VEXO_TEST_TSAN 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__)
#define VEXO_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEXO_TEST_ASAN 1
#endif
#endif

#if defined(VEXO_TEST_COUNT_ALLOCATIONS) && !defined(VEXO_TEST_ASAN) && !defined(VEXO_TEST_TSAN)
#define VEXO_TEST_ALLOCATIONS_COUNTED 1
#endif

namespace vexo::test {

using Bytes = std::vector<unsigned char>;

// Returns n bytes from rng.
inline Bytes random_bytes(std::mt19937_64& rng, std::size_t n) {
  Bytes bytes(n);
  for (auto& b : bytes) b = static_cast<unsigned char>(rng());
  return bytes;
}

// Returns the bytes that the hexadecimal digits `hex` spell (an odd last digit
// is ignored).
inline Bytes from_hex(const std::string& hex) {
  Bytes bytes(hex.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<unsigned char>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  }
  return bytes;
}

// Feeds `message` to `object` in random pieces (empty ones too), each at
// most next_limit(rng) bytes, and at a random point copies the object: the
// copy takes the rest of the message while the original gets `noise` other
// bytes, so a copy that shared state with its original would go wrong.
// Returns the copy, which has seen all of `message`.
template <typename Object, typename NextLimit>
Object feed_with_copy(Object& object, const Bytes& message, std::mt19937_64& rng,
                      NextLimit next_limit, std::size_t noise) {
  std::optional<Object> copy;
  Object* target = &object;
  const std::size_t copy_at = message.empty() ? 0 : rng() % message.size();
  for (std::size_t done = 0; done < message.size();) {
    const std::size_t limit = next_limit(rng);
    const std::size_t n = std::min<std::size_t>(rng() % (limit + 1), message.size() - done);
    target->update(tamu::span<const unsigned char>(message.data() + done, n));
    done += n;
    if (!copy && done >= copy_at) {
      copy.emplace(object);
      target = &*copy;
      object.update(Bytes(noise, 0xEE));
    }
  }
  if (!copy) copy.emplace(object);
  return std::move(*copy);
}

// A one-way gate: threads wait until it is opened. Tests use it to hold tasks
// in a known phase instead of sleeping.
class Gate {
 public:
  // Notifies under the lock: a waiter that sees the gate open may destroy it
  // at once, which it can only do once this thread has let go of the mutex.
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Runs f and returns the message of the vexo::Error it throws, or a text
// that no expected message equals when it throws none.
template <typename F>
std::string error_message(F&& f) {
  try {
    f();
  } catch (const vexo::Error& e) {
    return e.get_message();
  }
  return "<no vexo::Error thrown>";
}

#if defined(VEXO_TEST_ALLOCATIONS_COUNTED)
// Allocations through the global operator new since the program started.
inline std::atomic<long> g_allocations{0};
// While set on a thread, every allocation on it throws std::bad_alloc.
inline thread_local bool t_fail_allocations = false;

// Returns the number of heap allocations that f makes (on any thread).
template <typename F>
long allocations_in(F&& f) {
  const long before = g_allocations.load();
  f();
  return g_allocations.load() - before;
}
#endif

}  // namespace vexo::test

#if defined(VEXO_TEST_ALLOCATIONS_COUNTED)
void* operator new(std::size_t size) {
  if (vexo::test::t_fail_allocations) throw std::bad_alloc();
  vexo::test::g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// GCC sees the standard operator new at inlined call sites and would take
// these for a mismatched pair.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif
