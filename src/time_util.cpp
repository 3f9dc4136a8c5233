// Time helpers: Unix time, ISO 8601 and RFC 3339 text, sleeps that a flag or a stop token ends
// early.
#include "vexo/util/time_util.hpp"

#include <time.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>

#include "tamu/cat.hpp"
#include "vexo/util/exceptions.hpp"

namespace vexo {

namespace {

// ---------------------------------------------------------------------------
// Digit formatting
// ---------------------------------------------------------------------------
// The digits are written by hand rather than through a stream or printf: the
// texts are a stored format, so a global locale that groups or localises
// digits must not reach them, and this is also several times faster.

// Writes `value` (0..99) as two digits at `out`; returns the end.
char* put_2digits(char* out, int value) {
  out[0] = static_cast<char>('0' + value / 10);
  out[1] = static_cast<char>('0' + value % 10);
  return out + 2;
}

// Writes `year` with at least four digits and a leading '-' when negative;
// returns the end. `out` needs room for 21 characters.
char* put_year(char* out, long long year) {
  unsigned long long magnitude = static_cast<unsigned long long>(year);
  if (year < 0) {
    *out++ = '-';
    magnitude = 0 - magnitude;
  }
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  while (n < 4) digits[n++] = '0';
  while (n > 0) *out++ = digits[--n];
  return out;
}

// The longest text: sign, 10 year digits, "-MM-DDTHH:MM:SS".
constexpr std::size_t kMaxIsodateLength = 1 + 20 + 15;

// Writes the date text of `*tp` at `out` (room for kMaxIsodateLength) and
// returns its length, or 0 when localtime_r cannot break the value down; the
// fields would otherwise be uninitialised.
std::size_t format_isodate(char* out, const time_t* tp, bool use_datesep, bool include_time,
                           bool include_seconds, bool use_timesep) {
  const time_t t = tp != nullptr ? *tp : ::time(nullptr);
  struct tm fields;
  if (::localtime_r(&t, &fields) == nullptr) return 0;

  char* p = put_year(out, static_cast<long long>(fields.tm_year) + 1900);
  if (use_datesep) *p++ = '-';
  p = put_2digits(p, fields.tm_mon + 1);
  if (use_datesep) *p++ = '-';
  p = put_2digits(p, fields.tm_mday);
  if (include_time) {
    *p++ = 'T';
    p = put_2digits(p, fields.tm_hour);
    if (use_timesep) *p++ = ':';
    p = put_2digits(p, fields.tm_min);
    if (include_seconds) {
      if (use_timesep) *p++ = ':';
      p = put_2digits(p, fields.tm_sec);
    }
  }
  return static_cast<std::size_t>(p - out);
}

// Sleeps `ms` (1..100) milliseconds, resuming after signals.
void sleep_slice(unsigned long long ms) {
  struct timespec left;
  left.tv_sec = 0;
  left.tv_nsec = static_cast<long>(ms) * 1000000L;
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

constexpr unsigned long long kMaxCount = std::numeric_limits<unsigned long long>::max();
constexpr unsigned long long kSlice = 100;

}  // namespace

// ---------------------------------------------------------------------------
// Clock and dates
// ---------------------------------------------------------------------------

double get_unix_time() {
  const time_t unixtime = ::time(nullptr);
  const auto now = std::chrono::system_clock::now();
  const std::int64_t ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
  // time() may read a coarser clock that lags a little: the fraction is not
  // reduced below one second, so the sum still lands on the later reading.
  const std::int64_t ms = (ns - static_cast<std::int64_t>(unixtime) * 1000000000) / 1000000;
  return static_cast<double>(ms) * 0.001 + static_cast<double>(unixtime);
}

std::string get_isodate(const time_t* tp, bool use_datesep, bool include_time, bool include_seconds,
                        bool use_timesep) {
  char buffer[kMaxIsodateLength];
  const std::size_t length =
      format_isodate(buffer, tp, use_datesep, include_time, include_seconds, use_timesep);
  return std::string(buffer, length);
}

std::string get_isodate_filename(tamu::string_view comment, tamu::string_view extension) {
  char buffer[kMaxIsodateLength];
  const std::size_t length = format_isodate(buffer, nullptr, true, true, true, false);
  std::string name;
  name.reserve(length + comment.size() + extension.size() + 2);
  name.append(buffer, length);
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

std::string get_rfc3339(std::chrono::system_clock::time_point time, bool utc, int fraction_digits) {
  if (fraction_digits < 0 || fraction_digits > 9) {
    throw Error(tamu::cat("Illegal number of fraction digits: ", std::to_string(fraction_digits)));
  }
  using std::chrono::nanoseconds;
  using std::chrono::seconds;
  // Whole seconds rounded toward minus infinity, so that the fraction of a
  // time before 1970 is positive as the text needs it. The remainder is
  // taken before the rounding down: floor(min()) in nanoseconds lies below
  // the 64-bit range, so subtracting it from the time would overflow.
  const auto since_epoch = std::chrono::duration_cast<nanoseconds>(time.time_since_epoch());
  seconds whole = std::chrono::duration_cast<seconds>(since_epoch);  // toward zero
  nanoseconds remainder = since_epoch - whole;                       // in (-1 s, 1 s)
  if (remainder < nanoseconds::zero()) {
    whole -= seconds(1);
    remainder += seconds(1);
  }
  const auto fraction = static_cast<std::uint32_t>(remainder.count());
  const auto t = static_cast<time_t>(whole.count());

  long offset_minutes = 0;
  if (!utc) {
    struct tm local;
    if (::localtime_r(&t, &local) == nullptr) return {};
    offset_minutes = local.tm_gmtoff / 60;  // truncated toward zero
  }
  const time_t shown = t + static_cast<time_t>(offset_minutes) * 60;
  struct tm fields;
  if (::gmtime_r(&shown, &fields) == nullptr) return {};

  // Year, "-MM-DDTHH:MM:SS", '.', nine digits, "+HH:MM".
  char buffer[21 + 15 + 1 + 9 + 6];
  char* p = put_year(buffer, static_cast<long long>(fields.tm_year) + 1900);
  *p++ = '-';
  p = put_2digits(p, fields.tm_mon + 1);
  *p++ = '-';
  p = put_2digits(p, fields.tm_mday);
  *p++ = 'T';
  p = put_2digits(p, fields.tm_hour);
  *p++ = ':';
  p = put_2digits(p, fields.tm_min);
  *p++ = ':';
  p = put_2digits(p, fields.tm_sec);
  if (fraction_digits > 0) {
    *p++ = '.';
    std::uint32_t divisor = 100000000;
    for (int i = 0; i < fraction_digits; ++i, divisor /= 10) {
      *p++ = static_cast<char>('0' + fraction / divisor % 10);
    }
  }
  if (utc) {
    *p++ = 'Z';
  } else {
    *p++ = offset_minutes < 0 ? '-' : '+';
    const long magnitude = offset_minutes < 0 ? -offset_minutes : offset_minutes;
    p = put_2digits(p, static_cast<int>(magnitude / 60 % 100));
    *p++ = ':';
    p = put_2digits(p, static_cast<int>(magnitude % 60));
  }
  return std::string(buffer, static_cast<std::size_t>(p - buffer));
}

// ---------------------------------------------------------------------------
// Interruptible sleep
// ---------------------------------------------------------------------------

void sleep_ms(unsigned long long milliseconds, std::atomic<bool>* interrupt) {
  using std::chrono::duration_cast;
  using std::chrono::system_clock;
  const auto t0 = system_clock::now();
  // The elapsed time is kept signed: a wall clock set back makes it negative,
  // and the sleep then goes on until the clock has caught up. Comparing it
  // with the count as unsigned keeps counts of 2^63 and more sleeping (until
  // the flag is set) instead of ending after the first slice.
  long long elapsed = 0;
  while (elapsed < 0 || static_cast<unsigned long long>(elapsed) < milliseconds) {
    if (interrupt != nullptr && interrupt->load()) return;
    unsigned long long slice = kSlice;
    if (elapsed >= 0) {
      const unsigned long long remaining = milliseconds - static_cast<unsigned long long>(elapsed);
      if (remaining < slice) slice = remaining;
    }
    sleep_slice(slice);
    elapsed = static_cast<long long>(
        duration_cast<std::chrono::milliseconds>(system_clock::now() - t0).count());
  }
}

void sleep(unsigned long long seconds, std::atomic<bool>* interrupt) {
  sleep_ms(seconds > kMaxCount / 1000 ? kMaxCount : seconds * 1000, interrupt);
}

void sleep(int seconds, std::atomic<bool>* interrupt) {
  if (seconds <= 0) return;
  sleep(static_cast<unsigned long long>(seconds), interrupt);
}

void sleep(double seconds, std::atomic<bool>* interrupt) {
  // Written so that NaN also takes the early return.
  if (!(seconds > 0.0)) return;
  const double ms = seconds * 1000.0;
  // 2^64 as a double; every smaller double converts without overflow.
  constexpr double kLimit = 18446744073709551616.0;
  sleep_ms(ms >= kLimit ? kMaxCount : static_cast<unsigned long long>(ms), interrupt);
}

bool sleep_for(std::chrono::nanoseconds duration, std::stop_token stop) {
  if (stop.stop_requested()) return true;
  if (duration <= std::chrono::nanoseconds::zero()) return false;
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock<std::mutex> lock(mutex);
  const auto now = std::chrono::steady_clock::now();
  // Nothing else notifies `wake`: only the stop request can end the wait
  // early, and the predicate sorts out spurious wake-ups. The waits' own
  // results are not used: libstdc++ 12 returns false for a stop that comes
  // between two of its checks, so the token is asked again.
  const auto stopped = [&stop] { return stop.stop_requested(); };
  if (duration > std::chrono::steady_clock::time_point::max() - now) {
    wake.wait(lock, stop, stopped);
  } else {
    wake.wait_until(lock, stop, now + duration, stopped);
  }
  return stop.stop_requested();
}

}  // namespace vexo
