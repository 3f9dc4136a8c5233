// SHA-3 and SHAKE beside OpenSSL's EVP interface, in one binary so that the
// ratios come from the same run on the same machine state. Compare
// BM_Vexo/<case> with BM_OpenSslCtx/<case> (a context made once and reused,
// OpenSSL's fastest path) and BM_OpenSslOneShot/<case> (EVP_Digest, which
// sets up a context per call, as a one-call API has to).
//
// On a shared machine run with repetitions and interleaving, e.g.
//   sha3_benchmark --benchmark_repetitions=15
//     --benchmark_enable_random_interleaving=true
//     --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

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

constexpr std::int64_t kMiB = 1 << 20;

BENCHMARK_CAPTURE(BM_Vexo, sha3_256, Function::kSha3_256)->Arg(64)->Arg(kMiB);
BENCHMARK_CAPTURE(BM_OpenSslCtx, sha3_256, Function::kSha3_256)->Arg(64)->Arg(kMiB);
BENCHMARK_CAPTURE(BM_OpenSslOneShot, sha3_256, Function::kSha3_256)->Arg(64)->Arg(kMiB);
BENCHMARK_CAPTURE(BM_Vexo, sha3_512, Function::kSha3_512)->Arg(kMiB);
BENCHMARK_CAPTURE(BM_OpenSslCtx, sha3_512, Function::kSha3_512)->Arg(kMiB);
BENCHMARK_CAPTURE(BM_Vexo, shake128_out32, Function::kShake128)->Arg(kMiB);
BENCHMARK_CAPTURE(BM_OpenSslCtx, shake128_out32, Function::kShake128)->Arg(kMiB);

}  // namespace

BENCHMARK_MAIN();
