// SHA-3 and SHAKE beside OpenSSL's EVP interface and libgcrypt, in one binary
// so that the ratios come from the same run on the same machine state.
// Compare BM_Vexo/<case> with BM_OpenSslCtx/<case> (a context made once and
// reused, OpenSSL's fastest path), BM_OpenSslOneShot/<case> (EVP_Digest, which
// sets up a context per call, as a one-call API has to) and BM_Gcrypt/<case>
// (a handle opened once and reset per message).
//
// BM_Times4Absorb runs the four-state absorbing loop on four 8 KiB chunks
// (168-byte blocks, 12 rounds); BM_Times4Absorb_Baseline absorbs the same
// chunks into four single states, one after another, with the single-state
// absorbing loop. The four-state form in use is the label;
// VEXO_KECCAK_TIMES4=avx2 or =portable measures the others.
//
// BM_Shake128x4 runs four SHAKE128 streams of 34 bytes in and 504 bytes out
// (three blocks: a matrix entry of FIPS 203) with one shake_128_x4 call;
// BM_Shake128x4_Baseline makes the four one-lane shake_128 calls.
//
// On a shared machine run with repetitions and interleaving, e.g.
//   sha3_benchmark --benchmark_repetitions=15
//     --benchmark_enable_random_interleaving=true
//     --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <gcrypt.h>
#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "vexo/util/keccak.hpp"
#include "vexo/util/sha3.hpp"

namespace {

enum class Function { kSha3_256, kSha3_512, kShake128 };

// Digest or SHAKE output length of each case.
std::size_t output_size(Function function) {
  switch (function) {
    case Function::kSha3_256:
    case Function::kShake128:
      return 32;
    case Function::kSha3_512:
      return 64;
  }
  return 0;
}

const char* openssl_name(Function function) {
  switch (function) {
    case Function::kSha3_256:
      return "SHA3-256";
    case Function::kSha3_512:
      return "SHA3-512";
    case Function::kShake128:
      return "SHAKE128";
  }
  return "";
}

std::vector<unsigned char> make_input(std::size_t size) {
  std::vector<unsigned char> input(size);
  std::uint32_t x = 0x12345678;
  for (auto& byte : input) {
    x = x * 1664525U + 1013904223U;
    byte = static_cast<unsigned char>(x >> 24);
  }
  return input;
}

void BM_Vexo(benchmark::State& state, Function function) {
  const auto input = make_input(static_cast<std::size_t>(state.range(0)));
  const tamu::span<const unsigned char> in(input);
  std::array<unsigned char, 64> out{};
  for (auto _ : state) {
    bool ok = false;
    switch (function) {
      case Function::kSha3_256:
        ok = vexo::sha3_256(in, tamu::span<unsigned char, 32>(out.data(), 32));
        break;
      case Function::kSha3_512:
        ok = vexo::sha3_512(in, tamu::span<unsigned char, 64>(out));
        break;
      case Function::kShake128:
        ok = vexo::shake_128(in, tamu::span<unsigned char>(out.data(), 32));
        break;
    }
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_OpenSslCtx(benchmark::State& state, Function function) {
  const auto input = make_input(static_cast<std::size_t>(state.range(0)));
  EVP_MD* md = EVP_MD_fetch(nullptr, openssl_name(function), nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (md == nullptr || ctx == nullptr) {
    state.SkipWithError("OpenSSL has no such digest");
    return;
  }
  std::array<unsigned char, 64> out{};
  const std::size_t out_size = output_size(function);
  for (auto _ : state) {
    EVP_DigestInit_ex(ctx, md, nullptr);
    EVP_DigestUpdate(ctx, input.data(), input.size());
    if (function == Function::kShake128) {
      EVP_DigestFinalXOF(ctx, out.data(), out_size);
    } else {
      EVP_DigestFinal_ex(ctx, out.data(), nullptr);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// EVP_Digest cannot set a SHAKE output length, so this form covers the SHA-3
// cases only.
void BM_OpenSslOneShot(benchmark::State& state, Function function) {
  const auto input = make_input(static_cast<std::size_t>(state.range(0)));
  EVP_MD* md = EVP_MD_fetch(nullptr, openssl_name(function), nullptr);
  if (md == nullptr) {
    state.SkipWithError("OpenSSL has no such digest");
    return;
  }
  std::array<unsigned char, 64> out{};
  for (auto _ : state) {
    EVP_Digest(input.data(), input.size(), out.data(), nullptr, md, nullptr);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  EVP_MD_free(md);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

int gcrypt_algorithm(Function function) {
  switch (function) {
    case Function::kSha3_256:
      return GCRY_MD_SHA3_256;
    case Function::kSha3_512:
      return GCRY_MD_SHA3_512;
    case Function::kShake128:
      return GCRY_MD_SHAKE128;
  }
  return 0;
}

void BM_Gcrypt(benchmark::State& state, Function function) {
  const auto input = make_input(static_cast<std::size_t>(state.range(0)));
  if (gcry_check_version(nullptr) == nullptr) {
    state.SkipWithError("libgcrypt did not initialise");
    return;
  }
  gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  const int algorithm = gcrypt_algorithm(function);
  gcry_md_hd_t handle = nullptr;
  if (gcry_md_open(&handle, algorithm, 0) != 0) {
    state.SkipWithError("libgcrypt has no such digest");
    return;
  }
  std::array<unsigned char, 64> out{};
  for (auto _ : state) {
    gcry_md_reset(handle);
    gcry_md_write(handle, input.data(), input.size());
    if (function == Function::kShake128) {
      gcry_md_extract(handle, algorithm, out.data(), output_size(function));
      benchmark::DoNotOptimize(out.data());
    } else {
      benchmark::DoNotOptimize(gcry_md_read(handle, algorithm));
    }
    benchmark::ClobberMemory();
  }
  gcry_md_close(handle);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// Four 8 KiB chunks, one after another, as a tree hash lays them out.
constexpr unsigned kChunkLanes = 1024;
constexpr unsigned kRateLanes = 21;
constexpr std::size_t kChunkBlocks = 8 * kChunkLanes / (8 * kRateLanes);

void BM_Times4Absorb(benchmark::State& state) {
  const auto input = make_input(4 * 8 * kChunkLanes);
  alignas(vexo::keccak::states4_alignment) unsigned char states[vexo::keccak::states4_size];
  vexo::keccak::KeccakP1600times4_InitializeAll(states);
  for (auto _ : state) {
    const std::size_t absorbed = vexo::keccak::KeccakP1600times4_12rounds_FastLoop_Absorb(
        states, kRateLanes, kChunkLanes, input.data(), 8 * kChunkLanes);
    benchmark::DoNotOptimize(absorbed);
    benchmark::ClobberMemory();
  }
  state.SetLabel(vexo::keccak::KeccakP1600times4_GetImplementation());
  state.SetBytesProcessed(static_cast<std::int64_t>(static_cast<std::size_t>(state.iterations()) *
                                                    4 * kChunkBlocks * 8 * kRateLanes));
}

void BM_Times4Absorb_Baseline(benchmark::State& state) {
  const auto input = make_input(4 * 8 * kChunkLanes);
  alignas(vexo::keccak::state_alignment) unsigned char states[4][vexo::keccak::state_size];
  for (auto& single : states) vexo::keccak::KeccakP1600_Initialize(single);
  for (auto _ : state) {
    for (std::size_t j = 0; j < 4; ++j) {
      const std::size_t absorbed = vexo::keccak::KeccakP1600_12rounds_FastLoop_Absorb(
          states[j], kRateLanes, input.data() + j * 8 * kChunkLanes, 8 * kChunkLanes);
      benchmark::DoNotOptimize(absorbed);
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(static_cast<std::size_t>(state.iterations()) *
                                                    4 * kChunkBlocks * 8 * kRateLanes));
}

// Four seeds of 34 bytes (a 32-byte seed and two index bytes) and 504 bytes
// of output per lane.
constexpr std::size_t kSeedBytes = 34;
constexpr std::size_t kMatrixEntryBytes = 504;

void BM_Shake128x4(benchmark::State& state) {
  const auto input = make_input(4 * kSeedBytes);
  std::vector<unsigned char> output(4 * kMatrixEntryBytes);
  const auto in = [&](std::size_t j) {
    return tamu::span<const unsigned char>(input.data() + j * kSeedBytes, kSeedBytes);
  };
  const auto out = [&](std::size_t j) {
    return tamu::span<unsigned char>(output.data() + j * kMatrixEntryBytes, kMatrixEntryBytes);
  };
  for (auto _ : state) {
    vexo::shake_128_x4({in(0), in(1), in(2), in(3)}, {out(0), out(1), out(2), out(3)});
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  state.SetLabel(vexo::keccak::KeccakP1600times4_GetImplementation());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(4 * kMatrixEntryBytes));
}

void BM_Shake128x4_Baseline(benchmark::State& state) {
  const auto input = make_input(4 * kSeedBytes);
  std::vector<unsigned char> output(4 * kMatrixEntryBytes);
  for (auto _ : state) {
    for (std::size_t j = 0; j < 4; ++j) {
      vexo::shake_128(
          tamu::span<const unsigned char>(input.data() + j * kSeedBytes, kSeedBytes),
          tamu::span<unsigned char>(output.data() + j * kMatrixEntryBytes, kMatrixEntryBytes));
    }
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(4 * kMatrixEntryBytes));
}

constexpr std::int64_t kMiB = 1 << 20;

BENCHMARK_CAPTURE(BM_Vexo, sha3_256, Function::kSha3_256)->Arg(64)->Arg(kMiB);
BENCHMARK_CAPTURE(BM_OpenSslCtx, sha3_256, Function::kSha3_256)->Arg(64)->Arg(kMiB);
BENCHMARK_CAPTURE(BM_OpenSslOneShot, sha3_256, Function::kSha3_256)->Arg(64)->Arg(kMiB);
BENCHMARK_CAPTURE(BM_Gcrypt, sha3_256, Function::kSha3_256)->Arg(64)->Arg(kMiB);
BENCHMARK_CAPTURE(BM_Vexo, sha3_512, Function::kSha3_512)->Arg(kMiB);
BENCHMARK_CAPTURE(BM_OpenSslCtx, sha3_512, Function::kSha3_512)->Arg(kMiB);
BENCHMARK_CAPTURE(BM_Gcrypt, sha3_512, Function::kSha3_512)->Arg(kMiB);
BENCHMARK_CAPTURE(BM_Vexo, shake128_out32, Function::kShake128)->Arg(kMiB);
BENCHMARK_CAPTURE(BM_OpenSslCtx, shake128_out32, Function::kShake128)->Arg(kMiB);
BENCHMARK_CAPTURE(BM_Gcrypt, shake128_out32, Function::kShake128)->Arg(kMiB);
BENCHMARK(BM_Times4Absorb);
BENCHMARK(BM_Times4Absorb_Baseline);
BENCHMARK(BM_Shake128x4);
BENCHMARK(BM_Shake128x4_Baseline);

}  // namespace

BENCHMARK_MAIN();
