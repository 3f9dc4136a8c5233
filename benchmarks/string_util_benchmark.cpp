// Escaping and decoding throughput on file-name text, and string_sprintf
// beside the hand-written snprintf-into-a-stack-buffer idiom it replaces.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>

#include "vexo/util/string_util.hpp"

namespace {

// About 1 MiB of names such as "2024-06-01 Grüße/IMG_0042 (copy).jpg": mostly
// ASCII, with spaces, some separators that need escaping and some UTF-8.
std::string typical_file_names(std::size_t size) {
  static const char* const kWords[] = {"report",
                                       "IMG_0042",
                                       "2024-06-01",
                                       "final",
                                       "v2",
                                       "notes",
                                       "Photo",
                                       "draft",
                                       "Gr\xC3\xBC\xC3\x9F"
                                       "e",
                                       "na\xC3\xAFve",
                                       "caf\xC3\xA9",
                                       "backup",
                                       "(copy)",
                                       "readme",
                                       "data",
                                       "x86_64",
                                       "run~1",
                                       "50%"};
  static const char* const kSeparators[] = {" ", "_", "-", ".", " ", "/", ": ", " & ", "."};
  static const char* const kExtensions[] = {".txt", ".jpg", ".tar.gz", ".csv", ".log"};
  std::mt19937 rng(42);
  std::string text;
  while (text.size() < size) {
    const std::size_t words = 2 + rng() % 4;
    for (std::size_t w = 0; w < words; ++w) {
      text += kWords[rng() % std::size(kWords)];
      if (w + 1 < words) text += kSeparators[rng() % std::size(kSeparators)];
    }
    text += kExtensions[rng() % std::size(kExtensions)];
    text += '\n';
  }
  text.resize(size);
  return text;
}

constexpr std::size_t kMiB = 1 << 20;

void set_bytes(benchmark::State& state, std::size_t bytes_per_iteration) {
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes_per_iteration));
}

void BM_EscapeFilename_1MiB(benchmark::State& state) {
  const std::string text = typical_file_names(kMiB);
  for (auto _ : state) {
    std::string escaped = vexo::escape_filename_characters(text);
    benchmark::DoNotOptimize(escaped.data());
  }
  set_bytes(state, text.size());
}
BENCHMARK(BM_EscapeFilename_1MiB);

void BM_UnescapeFilename_1MiB(benchmark::State& state) {
  const std::string escaped = vexo::escape_filename_characters(typical_file_names(kMiB));
  for (auto _ : state) {
    std::string decoded = vexo::unescape_filename_characters(escaped);
    benchmark::DoNotOptimize(decoded.data());
  }
  set_bytes(state, escaped.size());
}
BENCHMARK(BM_UnescapeFilename_1MiB);

// Baseline beside the two above: copying the same text into a new string.
void BM_CopyString_1MiB(benchmark::State& state) {
  const std::string text = typical_file_names(kMiB);
  for (auto _ : state) {
    std::string copy = text;
    benchmark::DoNotOptimize(copy.data());
  }
  set_bytes(state, text.size());
}
BENCHMARK(BM_CopyString_1MiB);

// One name at a time, as the functions are mostly used.
void BM_EscapeFilename_OneName(benchmark::State& state) {
  const std::string name =
      "2024-06-01 Gr\xC3\xBC\xC3\x9F"
      "e/IMG_0042: final & (copy).jpg";
  for (auto _ : state) {
    std::string escaped = vexo::escape_filename_characters(name);
    benchmark::DoNotOptimize(escaped.data());
  }
  set_bytes(state, name.size());
}
BENCHMARK(BM_EscapeFilename_OneName);

void BM_UnescapeFilename_OneName(benchmark::State& state) {
  const std::string escaped = vexo::escape_filename_characters(
      "2024-06-01 Gr\xC3\xBC\xC3\x9F"
      "e/IMG_0042: final & (copy).jpg");
  for (auto _ : state) {
    std::string decoded = vexo::unescape_filename_characters(escaped);
    benchmark::DoNotOptimize(decoded.data());
  }
  set_bytes(state, escaped.size());
}
BENCHMARK(BM_UnescapeFilename_OneName);

// A short message: about 60 characters, so the result is not an in-place
// (short-string) one and both sides allocate once.
void BM_StringSprintf_Short(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) {
    std::string s = vexo::string_sprintf("%s/%s-%04d.%s: %d of %d tasks done in %.2f s", "run",
                                         "frame", i, "png", i, 1000, 1.5);
    benchmark::DoNotOptimize(s.data());
    ++i;
  }
}
BENCHMARK(BM_StringSprintf_Short);

// Baseline beside it: snprintf into a stack buffer, then a std::string copy.
void BM_SnprintfStackCopy_Short(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) {
    char buffer[256];
    const int n =
        std::snprintf(buffer, sizeof buffer, "%s/%s-%04d.%s: %d of %d tasks done in %.2f s", "run",
                      "frame", i, "png", i, 1000, 1.5);
    std::string s(buffer, static_cast<std::size_t>(n));
    benchmark::DoNotOptimize(s.data());
    ++i;
  }
}
BENCHMARK(BM_SnprintfStackCopy_Short);

// Outputs of 256 characters or more take a second formatting pass.
void BM_StringSprintf_1000Chars(benchmark::State& state) {
  const std::string arg(990, 'x');
  for (auto _ : state) {
    std::string s = vexo::string_sprintf("[%s|%05d]", arg.c_str(), 7);
    benchmark::DoNotOptimize(s.data());
  }
}
BENCHMARK(BM_StringSprintf_1000Chars);

}  // namespace

BENCHMARK_MAIN();
