// TurboSHAKE and KT beside the library's own SHAKE128 and SHA3-256, and the
// streaming objects beside the one-shot functions, in one binary so that the
// ratios come from the same run:
//   BM_TurboShake128/16MiB  vs BM_Shake128/16MiB     (12 rounds instead of 24)
//   BM_Kt128/16MiB          vs BM_Sha3_256/16MiB     (and the four-way leaves)
//   BM_Kt128Pool2/16MiB     vs BM_Kt128/16MiB        (pool of 2 workers + caller)
//   BM_Kt128/64, /9000, /41000                        (the one-shot's fixed costs)
//   BM_*Stream/1MiB         vs the one-shot /1MiB    (64 KiB updates)
//   BM_ParallelHash128/16MiB      vs BM_Sha3_256/16MiB  (block size 8192: the four-way leaves
//                                                        at 24 rounds)
//   BM_ParallelHash128Pool2/16MiB vs BM_ParallelHash128/16MiB
//   BM_Kmac128/16MiB              vs BM_Sha3_256/16MiB  (rate 168 against 136 bytes)
//
// On a shared machine run with repetitions and interleaving, e.g.
//   k12_benchmark --benchmark_repetitions=5
//     --benchmark_enable_random_interleaving=true
//     --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vexo/util/ThreadPool.hpp"
#include "vexo/util/cshake.hpp"
#include "vexo/util/k12.hpp"
#include "vexo/util/sha3.hpp"

namespace {

constexpr std::int64_t kMiB = 1 << 20;
constexpr std::size_t kPiece = 64 << 10;

std::vector<unsigned char> make_input(std::int64_t size) {
  std::vector<unsigned char> input(static_cast<std::size_t>(size));
  std::uint32_t x = 0x12345678;
  for (auto& byte : input) {
    x = x * 1664525U + 1013904223U;
    byte = static_cast<unsigned char>(x >> 24);
  }
  return input;
}

// Runs `hash(input, out)` per iteration and reports bytes per second.
template <typename Hash>
void run(benchmark::State& state, Hash hash) {
  const auto input = make_input(state.range(0));
  std::array<unsigned char, 32> out{};
  for (auto _ : state) {
    hash(tamu::span<const unsigned char>(input), tamu::span<unsigned char>(out));
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// Feeds the input to `object` in 64 KiB updates and reads 32 bytes.
template <typename Object, typename Finish>
void stream(tamu::span<const unsigned char> in, tamu::span<unsigned char> out, Object object,
            Finish finish) {
  for (std::size_t at = 0; at < in.size(); at += kPiece) {
    object.update(in.subspan(at, std::min(kPiece, in.size() - at)));
  }
  finish(object, out);
}

void BM_Shake128(benchmark::State& state) {
  run(state, [](auto in, auto out) { vexo::shake_128(in, out); });
}

void BM_Sha3_256(benchmark::State& state) {
  run(state, [](auto in, auto out) { vexo::sha3_256(in, out.template first<32>()); });
}

void BM_TurboShake128(benchmark::State& state) {
  run(state, [](auto in, auto out) { vexo::turboshake_128(in, 0x1F, out); });
}

void BM_Kt128(benchmark::State& state) {
  run(state, [](auto in, auto out) { vexo::kt_128(in, {}, out); });
}

void BM_Kt128Pool2(benchmark::State& state) {
  vexo::util::ThreadPool pool(2, 16);
  run(state, [&pool](auto in, auto out) { vexo::kt_128(in, {}, out, &pool); });
}

void BM_Sha3_256Stream(benchmark::State& state) {
  run(state, [](auto in, auto out) {
    stream(in, out, vexo::Sha3_256(),
           [](const auto& o, auto digest) { o.finalize(digest.template first<32>()); });
  });
}

void BM_TurboShake128Stream(benchmark::State& state) {
  run(state, [](auto in, auto out) {
    stream(in, out, vexo::TurboShake128(),
           [](const auto& o, auto digest) { o.finalize_xof().read(digest); });
  });
}

void BM_Kt128Stream(benchmark::State& state) {
  run(state, [](auto in, auto out) {
    stream(in, out, vexo::Kt128(),
           [](const auto& o, auto digest) { o.finalize_xof().read(digest); });
  });
}

void BM_ParallelHash128(benchmark::State& state) {
  run(state, [](auto in, auto out) { vexo::parallel_hash_128(in, 8192, {}, out); });
}

void BM_ParallelHash128Pool2(benchmark::State& state) {
  vexo::util::ThreadPool pool(2, 16);
  run(state, [&pool](auto in, auto out) { vexo::parallel_hash_128(in, 8192, {}, out, &pool); });
}

constexpr unsigned char kKey[32] = {1, 2, 3};

void BM_Kmac128(benchmark::State& state) {
  run(state, [](auto in, auto out) { vexo::kmac_128(kKey, in, {}, out); });
}

BENCHMARK(BM_Shake128)->Arg(16 * kMiB)->UseRealTime();
BENCHMARK(BM_TurboShake128)->Arg(16 * kMiB)->Arg(kMiB)->UseRealTime();
BENCHMARK(BM_Sha3_256)->Arg(16 * kMiB)->Arg(kMiB)->UseRealTime();
// The short sizes: a single node, a first chunk and one partial leaf, the
// first chunk and four leaves and a partial one.
BENCHMARK(BM_Kt128)->Arg(16 * kMiB)->Arg(kMiB)->Arg(64)->Arg(9000)->Arg(41000)->UseRealTime();
BENCHMARK(BM_Kt128Pool2)->Arg(16 * kMiB)->UseRealTime();
BENCHMARK(BM_Sha3_256Stream)->Arg(kMiB)->UseRealTime();
BENCHMARK(BM_TurboShake128Stream)->Arg(kMiB)->UseRealTime();
BENCHMARK(BM_Kt128Stream)->Arg(kMiB)->UseRealTime();
BENCHMARK(BM_ParallelHash128)->Arg(16 * kMiB)->UseRealTime();
BENCHMARK(BM_ParallelHash128Pool2)->Arg(16 * kMiB)->UseRealTime();
BENCHMARK(BM_Kmac128)->Arg(16 * kMiB)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
