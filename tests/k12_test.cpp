// TurboSHAKE and KT: the known answers of tests/data/k12 through every entry
// point (one-shot, streaming with random splits, with and without a pool), KT
// against a plain model of RFC 9861 around the chunk boundaries, and the
// pool's corner cases (a call from one of its own tasks, a full queue).
#include "vexo/util/k12.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#define VEXO_TEST_COUNT_ALLOCATIONS 1
#include "test_support.hpp"
#include "vexo/util/ThreadPool.hpp"
#include "vexo/util/cshake.hpp"

namespace {

using vexo::test::Bytes;
using vexo::test::from_hex;
using vexo::test::Gate;
using vexo::test::random_bytes;

enum class Fn { kTurboShake128, kTurboShake256, kKt128, kKt256 };

bool is_kt(Fn fn) { return fn == Fn::kKt128 || fn == Fn::kKt256; }

// The pattern of RFC 9861: byte i is i mod 251.
Bytes pattern(std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(i % 251);
  return out;
}

// One line of vectors.txt.
struct Vector {
  Fn fn;
  std::size_t message_size;
  unsigned char domain = 0;     // TurboSHAKE
  std::size_t custom_size = 0;  // KT
  std::size_t output_size;
  Bytes expected;  // the whole output, or its last 32 bytes
  bool last32;
  std::string line;
};

std::vector<Vector> load_vectors() {
  std::ifstream in(VEXO_TEST_DATA_DIR "/k12/vectors.txt");
  std::vector<Vector> out;
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    std::istringstream fields(line);
    std::string name;
    fields >> name;
    Vector v{};
    v.line = line;
    v.fn = name == "TurboSHAKE128"   ? Fn::kTurboShake128
           : name == "TurboSHAKE256" ? Fn::kTurboShake256
           : name == "KT128"         ? Fn::kKt128
                                     : Fn::kKt256;
    for (std::string field; fields >> field;) {
      const auto eq = field.find('=');
      const std::string key = field.substr(0, eq);
      const std::string value = field.substr(eq + 1);
      if (key == "msg") v.message_size = std::stoul(value.substr(4));
      if (key == "custom") v.custom_size = std::stoul(value.substr(4));
      if (key == "D") v.domain = static_cast<unsigned char>(std::stoul(value, nullptr, 16));
      if (key == "outlen") v.output_size = std::stoul(value);
      if (key == "out" || key == "last32") {
        v.expected = from_hex(value);
        v.last32 = key == "last32";
      }
    }
    out.push_back(std::move(v));
  }
  return out;
}

// The part of `output` that a vector gives.
Bytes checked_part(const Vector& v, const Bytes& output) {
  return v.last32 ? Bytes(output.end() - 32, output.end()) : output;
}

Bytes one_shot(Fn fn, const Bytes& message, unsigned char domain, const Bytes& custom,
               std::size_t output_size, vexo::util::ThreadPool* pool = nullptr) {
  Bytes out(output_size);
  bool ok = false;
  switch (fn) {
    case Fn::kTurboShake128:
      ok = vexo::turboshake_128(message, domain, out);
      break;
    case Fn::kTurboShake256:
      ok = vexo::turboshake_256(message, domain, out);
      break;
    case Fn::kKt128:
      ok = vexo::kt_128(message, custom, out, pool);
      break;
    case Fn::kKt256:
      ok = vexo::kt_256(message, custom, out, pool);
      break;
  }
  EXPECT_TRUE(ok);
  return out;
}

// Feeds `message` in random pieces (empty ones too) and reads the output in
// random pieces. At a random point the object is copied: the copy takes the
// rest of the input while the original gets other bytes, so the copy must
// not share state with it. Then the original, reset and fed the message in
// one piece, must give the same output.
template <typename Object, typename Finish>
Bytes streamed(Object object, const Bytes& message, std::size_t output_size, std::mt19937_64& rng,
               Finish finish) {
  const Object copy = vexo::test::feed_with_copy(
      object, message, rng,
      [](std::mt19937_64& r) -> std::size_t {
        return r() % 4 == 0 ? 300000 : r() % 2 == 0 ? 20000 : 300;
      },
      9000);
  Bytes out(output_size);
  vexo::XofReader reader = finish(copy);
  for (std::size_t read = 0; read < output_size;) {
    const std::size_t n = std::min<std::size_t>(rng() % 400, output_size - read);
    reader.read(tamu::span<unsigned char>(out.data() + read, n));
    read += n;
  }
  object.reset();
  object.update(message);
  Bytes again(output_size);
  finish(object).read(again);
  EXPECT_EQ(again, out);
  return out;
}

Bytes streaming(Fn fn, const Bytes& message, unsigned char domain, const Bytes& custom,
                std::size_t output_size, std::mt19937_64& rng,
                vexo::util::ThreadPool* pool = nullptr) {
  const auto finish_kt = [&custom](const auto& kt) { return kt.finalize_xof(custom); };
  const auto finish = [](const auto& xof) { return xof.finalize_xof(); };
  switch (fn) {
    case Fn::kTurboShake128:
      return streamed(vexo::TurboShake128(domain), message, output_size, rng, finish);
    case Fn::kTurboShake256:
      return streamed(vexo::TurboShake256(domain), message, output_size, rng, finish);
    case Fn::kKt128:
      return streamed(vexo::Kt128(pool), message, output_size, rng, finish_kt);
    case Fn::kKt256:
      return streamed(vexo::Kt256(pool), message, output_size, rng, finish_kt);
  }
  return {};
}

// KT written out as RFC 9861 gives it, on the one-shot TurboSHAKE functions.
Bytes kt_model(bool kt256, const Bytes& message, const Bytes& custom, std::size_t output_size) {
  const auto ts = [kt256](const Bytes& in, unsigned char domain, std::size_t n) {
    Bytes out(n);
    if (kt256) {
      vexo::turboshake_256(in, domain, out);
    } else {
      vexo::turboshake_128(in, domain, out);
    }
    return out;
  };
  const auto length_encode = [](std::uint64_t x) {
    Bytes out;
    for (; x != 0; x >>= 8) out.insert(out.begin(), static_cast<unsigned char>(x));
    out.push_back(static_cast<unsigned char>(out.size()));
    return out;
  };
  Bytes s = message;
  s.insert(s.end(), custom.begin(), custom.end());
  const Bytes encoded = length_encode(custom.size());
  s.insert(s.end(), encoded.begin(), encoded.end());
  if (s.size() <= 8192) return ts(s, 0x07, output_size);
  Bytes node(s.begin(), s.begin() + 8192);
  const Bytes marker = {0x03, 0, 0, 0, 0, 0, 0, 0};
  node.insert(node.end(), marker.begin(), marker.end());
  std::uint64_t chunks = 0;
  for (std::size_t at = 8192; at < s.size(); at += 8192, ++chunks) {
    const Bytes chunk(s.begin() + static_cast<std::ptrdiff_t>(at),
                      s.begin() + static_cast<std::ptrdiff_t>(std::min(s.size(), at + 8192)));
    const Bytes cv = ts(chunk, 0x0B, kt256 ? 64 : 32);
    node.insert(node.end(), cv.begin(), cv.end());
  }
  const Bytes n = length_encode(chunks);
  node.insert(node.end(), n.begin(), n.end());
  node.push_back(0xFF);
  node.push_back(0xFF);
  return ts(node, 0x06, output_size);
}

TEST(K12Kat, EveryVectorThroughEveryEntryPoint) {
  const std::vector<Vector> vectors = load_vectors();
  ASSERT_EQ(vectors.size(), 94U);
  vexo::util::ThreadPool pool(2, 16);
  std::mt19937_64 rng(9861);
  for (const Vector& v : vectors) {
    SCOPED_TRACE(v.line);
    const Bytes message = pattern(v.message_size);
    const Bytes custom = pattern(v.custom_size);
    const Bytes out = one_shot(v.fn, message, v.domain, custom, v.output_size);
    EXPECT_EQ(checked_part(v, out), v.expected);
    EXPECT_EQ(streaming(v.fn, message, v.domain, custom, v.output_size, rng), out);
    if (is_kt(v.fn)) {
      EXPECT_EQ(one_shot(v.fn, message, v.domain, custom, v.output_size, &pool), out);
      EXPECT_EQ(streaming(v.fn, message, v.domain, custom, v.output_size, rng, &pool), out);
    }
  }
}

TEST(K12Kat, TurboShakeRefusesDomainsOutsideOneToSevenF) {
  const Bytes in = pattern(10);
  for (const int domain_value : {0x00, 0x80, 0xFF}) {
    const auto domain = static_cast<unsigned char>(domain_value);
    Bytes out(16, 0x5c);
    EXPECT_FALSE(vexo::turboshake_128(in, domain, out));
    EXPECT_FALSE(vexo::turboshake_256(in, domain, out));
    EXPECT_EQ(out, Bytes(16, 0x5c));
  }
  EXPECT_EQ(vexo::test::error_message([] { vexo::TurboShake128 x(0x80); }),
            "Invalid TurboSHAKE domain byte: 0x80");
  EXPECT_EQ(vexo::test::error_message([] { vexo::TurboShake256 x(0x00); }),
            "Invalid TurboSHAKE domain byte: 0x00");
}

// Message and customization lengths on both sides of every chunk boundary up
// to 9 chunks (groups of four, a group plus one, ...), random bytes, against
// the model; the streaming object gets random splits.
TEST(K12Model, ChunkBoundariesAgainstThePlainModel) {
  std::mt19937_64 rng(8192);
  vexo::util::ThreadPool pool(2, 8);
  for (const bool kt256 : {false, true}) {
    for (std::size_t chunks = 0; chunks <= 9; ++chunks) {
      for (const int delta : {-2, -1, 0, 1}) {
        const auto total = static_cast<std::ptrdiff_t>(chunks * 8192) + delta;
        if (total < 1) continue;
        // S = M || C || length_encode(|C|): pick |C|, then |M| so that |S| is the target.
        const std::size_t custom_size =
            rng() % 3 == 0 ? 0
                           : rng() % std::min<std::size_t>(9000, static_cast<std::size_t>(total));
        const std::size_t encoded_size = custom_size == 0 ? 1 : custom_size < 256 ? 2 : 3;
        if (static_cast<std::size_t>(total) < custom_size + encoded_size) continue;
        const Bytes message =
            random_bytes(rng, static_cast<std::size_t>(total) - custom_size - encoded_size);
        const Bytes custom = random_bytes(rng, custom_size);
        SCOPED_TRACE(testing::Message() << (kt256 ? "KT256" : "KT128") << " |M|=" << message.size()
                                        << " |C|=" << custom.size());
        const std::size_t output_size = 1 + rng() % 300;
        const Bytes expected = kt_model(kt256, message, custom, output_size);
        const Fn fn = kt256 ? Fn::kKt256 : Fn::kKt128;
        EXPECT_EQ(one_shot(fn, message, 0, custom, output_size), expected);
        EXPECT_EQ(one_shot(fn, message, 0, custom, output_size, &pool), expected);
        EXPECT_EQ(streaming(fn, message, 0, custom, output_size, rng, &pool), expected);
      }
    }
  }
}

// A pool whose one worker is busy and whose queue is full: KT hashes on the
// calling thread. A call from the pool's only worker: no task of its own can
// run, and the call still returns the right bytes.
TEST(K12Pool, FullQueueAndCallsFromOwnTaskFinish) {
  std::mt19937_64 rng(3);
  const Bytes message = random_bytes(rng, 40 * 8192 + 17);
  const Bytes custom = random_bytes(rng, 5);
  const Bytes expected = kt_model(false, message, custom, 64);
  {
    vexo::util::ThreadPool pool(1, 1);
    Gate started, release;
    pool.add_task([&] {
      started.open();
      release.wait();
    });
    started.wait();
    pool.add_task([] {});  // fills the queue
    ASSERT_TRUE(pool.is_full());
    EXPECT_EQ(one_shot(Fn::kKt128, message, 0, custom, 64, &pool), expected);
    EXPECT_TRUE(pool.is_full());  // the call's own tasks are gone
    release.open();
  }
  {
    vexo::util::ThreadPool pool(1, 64);
    Bytes got;
    Gate done;
    pool.add_task([&] {
      got = one_shot(Fn::kKt128, message, 0, custom, 64, &pool);
      done.open();
    });
    done.wait();
    EXPECT_EQ(got, expected);
  }
}

// Several threads hash on one pool at once, each with its own input.
TEST(K12Pool, ConcurrentCallersShareOnePool) {
  vexo::util::ThreadPool pool(2, 64);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 rng(static_cast<std::uint64_t>(t));
      for (int i = 0; i < 3; ++i) {
        const Bytes message = random_bytes(rng, 8192 * (10 + rng() % 30) + rng() % 8192);
        const bool kt256 = (rng() & 1) != 0;
        const Bytes expected = kt_model(kt256, message, {}, 32);
        if (one_shot(kt256 ? Fn::kKt256 : Fn::kKt128, message, 0, {}, 32, &pool) != expected) {
          ++mismatches;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// A KT object cannot be bound to its detail base and assigned the other
// strength's state, which would switch the algorithm under its type.
static_assert(!std::is_convertible_v<vexo::Kt128*, vexo::detail::KtStream*>);
static_assert(!std::is_assignable_v<vexo::Kt128&, const vexo::Kt256&>);
static_assert(!std::is_convertible_v<vexo::TurboShake128*, vexo::detail::SpongeXof<1344, 12>*>);

// Another thread removes every pending task of the pool, again and again,
// while kt_128 runs with it, as an application does on a shared pool when it
// stops (remove_pending_tasks on Ctrl-C). The workers are held busy, so each
// helper the call submits stays pending until someone removes it. The call
// must still finish, with the right bytes. A call that waited for a helper
// removed by the other thread would never return: the 60 s guard then ends
// the program, as no thread can be joined.
TEST(K12Pool, FinishesWhileAnotherThreadRemovesPendingTasks) {
  std::mt19937_64 rng(5);
  const Bytes message = random_bytes(rng, 24 * 1024 * 1024 + 5);
  Bytes expected(32);
  vexo::kt_128(message, {}, expected);

  vexo::util::ThreadPool pool(2, 64);
  Gate started[2], release;
  for (Gate& gate : started) {
    pool.add_task([&gate, &release] {
      gate.open();
      release.wait();
    });
  }
  for (Gate& gate : started) gate.wait();
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> removed{0};
  std::thread remover([&] {
    while (!stop.load()) {
      removed += pool.remove_pending_tasks();
      std::this_thread::yield();
    }
  });
  std::promise<Bytes> result;
  std::future<Bytes> digest = result.get_future();
  std::thread caller([&] {
    for (int i = 0; i < 4; ++i) {
      Bytes out(32);
      vexo::kt_128(message, {}, out, &pool);
      if (i == 3 || out != expected) {
        result.set_value(out);
        return;
      }
    }
  });
  if (digest.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    std::fprintf(stderr, "kt_128 with a pool did not return within 60 s\n");
    std::_Exit(1);
  }
  EXPECT_EQ(digest.get(), expected);
  stop = true;
  remover.join();
  caller.join();
  release.open();
  // The case happened: some helper was removed by the other thread.
  EXPECT_GT(removed.load(), 0u);
}

// The memory contract: no allocation in TurboSHAKE or in KT without a pool;
// the streaming KT object allocates its buffer once, at the first update past
// the first chunk, and a copy allocates one buffer.
TEST(K12Resources, AllocationsAreBounded) {
  std::mt19937_64 rng(4);
  const Bytes message = random_bytes(rng, 20 * 8192 + 99);
  Bytes out(100);
  vexo::Kt128 kt;
  vexo::TurboShake128 ts;
  const auto one_shots = [&] {
    vexo::kt_128(message, {}, out);
    vexo::kt_256(message, message, out);
    vexo::turboshake_256(message, 0x1F, out);
  };
  const auto first_chunk = [&] {
    kt.update(tamu::span<const unsigned char>(message).first(8192));
    ts.update(message);
    ts.finalize_xof().read(out);
  };
  const auto first_leaf = [&] {
    kt.update(tamu::span<const unsigned char>(message).subspan(8192, 1));
  };
  const auto the_rest = [&] {
    for (std::size_t at = 8193; at < message.size(); at += 1000) {
      kt.update(tamu::span<const unsigned char>(message).subspan(
          at, std::min<std::size_t>(1000, message.size() - at)));
    }
    kt.finalize_xof(message).read(out);
  };
  const auto copy = [&] {
    vexo::Kt128 other(kt);
    other.reset();
  };
#if defined(VEXO_TEST_ALLOCATIONS_COUNTED)
  EXPECT_EQ(vexo::test::allocations_in(one_shots), 0);
  EXPECT_EQ(vexo::test::allocations_in(first_chunk), 0);
  EXPECT_EQ(vexo::test::allocations_in(first_leaf), 1);
  EXPECT_EQ(vexo::test::allocations_in(the_rest), 0);
  EXPECT_EQ(vexo::test::allocations_in(copy), 1);
#else
  one_shots();
  first_chunk();
  first_leaf();
  the_rest();
  copy();
#endif
  Bytes expected(100);
  vexo::kt_128(message, message, expected);
  EXPECT_EQ(out, expected);
}

// Memory running out part way through a call with a pool: whichever
// allocation fails first (the chaining-value buffer, the parallel loop's
// shared record, a helper's queue entry), the tree hashes still finish on the
// calling thread with the right bytes, and a streaming KT object whose
// update throws is left as it was (it finishes right after a retry).
TEST(K12Resources, PoolPathSurvivesAllocationFailures) {
#if defined(VEXO_TEST_ALLOCATIONS_COUNTED)
  std::mt19937_64 rng(24);
  const Bytes message = random_bytes(rng, 130 * 8192 + 5);
  vexo::util::ThreadPool pool(2, 64);
  Bytes kt_expected(32), ph_expected(32);
  vexo::kt_128(message, {}, kt_expected);
  vexo::parallel_hash_128(message, 8192, {}, ph_expected);
  for (long left = 0; left <= 4; ++left) {
    SCOPED_TRACE(left);
    Bytes kt_out(32), ph_out(32), stream_out(32);
    vexo::Kt128 kt(&pool);
    kt.update(tamu::span<const unsigned char>(message).first(8192));
    bool one_shot_threw = false;
    bool stream_threw = false;
    vexo::test::t_allocations_left = left;
    try {
      vexo::kt_128(message, {}, kt_out, &pool);
      vexo::test::t_allocations_left = left;
      vexo::parallel_hash_128(message, 8192, {}, ph_out, &pool);
    } catch (const std::bad_alloc&) {
      one_shot_threw = true;
    }
    vexo::test::t_allocations_left = left;
    try {
      kt.update(tamu::span<const unsigned char>(message).subspan(8192));
    } catch (const std::bad_alloc&) {
      stream_threw = true;
    }
    vexo::test::t_allocations_left = -1;
    EXPECT_FALSE(one_shot_threw) << "a one-shot tree hash let std::bad_alloc escape";
    // Only the object's own buffer may fail an update, and then it is unchanged.
    EXPECT_EQ(stream_threw, left == 0);
    if (stream_threw) kt.update(tamu::span<const unsigned char>(message).subspan(8192));
    kt.finalize_xof().read(stream_out);
    EXPECT_EQ(kt_out, kt_expected);
    EXPECT_EQ(ph_out, ph_expected);
    EXPECT_EQ(stream_out, kt_expected);
  }
#else
  GTEST_SKIP() << "allocations are not replaced under a sanitizer";
#endif
}

}  // namespace
