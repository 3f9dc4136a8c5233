// Date texts beside the same texts built with localtime_r and strftime, and
// the reaction time of an interrupted sleep.
#include <benchmark/benchmark.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <iomanip>
#include <sstream>
#include <string>
#include <thread>

#include "vexo/util/time_util.hpp"

namespace {

const time_t kMoment = 1719839109;  // 2024-07-01T13:05:09Z

// ---------------------------------------------------------------------------
// Baselines
// ---------------------------------------------------------------------------

std::string strftime_isodate(const time_t* tp, const char* format) {
  const time_t t = tp != nullptr ? *tp : ::time(nullptr);
  struct tm fields;
  if (::localtime_r(&t, &fields) == nullptr) return std::string();
  char buffer[64];
  const std::size_t n = ::strftime(buffer, sizeof buffer, format, &fields);
  return std::string(buffer, n);
}

std::string strftime_isodate_filename(std::string_view comment, std::string_view extension) {
  std::string name = strftime_isodate(nullptr, "%Y-%m-%dT%H%M%S");
  if (!comment.empty()) {
    if (comment.front() != '-') name += '-';
    name.append(comment);
  }
  if (!extension.empty()) {
    if (extension.front() != '.') name += '.';
    name.append(extension);
  }
  return name;
}

// What a string-stream formatter costs, for reference.
std::string stream_isodate(const time_t* tp) {
  struct tm fields;
  if (::localtime_r(tp, &fields) == nullptr) return std::string();
  std::ostringstream out;
  out << std::setfill('0') << std::setw(4) << fields.tm_year + 1900 << '-' << std::setw(2)
      << fields.tm_mon + 1 << '-' << std::setw(2) << fields.tm_mday << 'T' << std::setw(2)
      << fields.tm_hour << ':' << std::setw(2) << fields.tm_min << ':' << std::setw(2)
      << fields.tm_sec;
  return out.str();
}

// ---------------------------------------------------------------------------
// Date texts
// ---------------------------------------------------------------------------

void BM_get_isodate(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(vexo::get_isodate(&kMoment));
  }
}
BENCHMARK(BM_get_isodate);

void BM_strftime_isodate(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(strftime_isodate(&kMoment, "%Y-%m-%dT%H:%M:%S"));
  }
}
BENCHMARK(BM_strftime_isodate);

void BM_stream_isodate(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(stream_isodate(&kMoment));
  }
}
BENCHMARK(BM_stream_isodate);

void BM_get_isodate_date_only(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(vexo::get_isodate(&kMoment, false, false));
  }
}
BENCHMARK(BM_get_isodate_date_only);

void BM_strftime_isodate_date_only(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(strftime_isodate(&kMoment, "%Y%m%d"));
  }
}
BENCHMARK(BM_strftime_isodate_date_only);

void BM_get_isodate_now(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(vexo::get_isodate());
  }
}
BENCHMARK(BM_get_isodate_now);

void BM_strftime_isodate_now(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(strftime_isodate(nullptr, "%Y-%m-%dT%H:%M:%S"));
  }
}
BENCHMARK(BM_strftime_isodate_now);

void BM_get_isodate_filename(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(vexo::get_isodate_filename("backup", "txt"));
  }
}
BENCHMARK(BM_get_isodate_filename);

void BM_strftime_isodate_filename(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(strftime_isodate_filename("backup", "txt"));
  }
}
BENCHMARK(BM_strftime_isodate_filename);

void BM_get_unix_time(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(vexo::get_unix_time());
  }
}
BENCHMARK(BM_get_unix_time);

// ---------------------------------------------------------------------------
// Sleep
// ---------------------------------------------------------------------------

// Time from setting the flag to the sleeper's return, for a flag set at a
// random point of a slice: on average about half a slice, at most one slice
// plus the wake-up delay.
void BM_sleep_flag_reaction(benchmark::State& state) {
  for (auto _ : state) {
    std::atomic<bool> flag{false};
    std::atomic<std::chrono::steady_clock::rep> returned{0};
    std::thread sleeper([&] {
      vexo::sleep_ms(60000, &flag);
      returned = std::chrono::steady_clock::now().time_since_epoch().count();
    });
    std::this_thread::sleep_for(
        std::chrono::milliseconds(30 + 37 * static_cast<int>(state.iterations() % 5)));
    const auto set_at = std::chrono::steady_clock::now();
    flag = true;
    sleeper.join();
    const auto end =
        std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(returned.load()));
    state.SetIterationTime(std::chrono::duration<double>(end - set_at).count());
  }
}
BENCHMARK(BM_sleep_flag_reaction)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
