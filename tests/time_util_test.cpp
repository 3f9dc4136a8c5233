#include "vexo/util/time_util.hpp"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <limits>
#include <locale>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace {

using std::chrono::milliseconds;
using std::chrono::system_clock;

// ---------------------------------------------------------------------------
// Time zone and locale helpers
// ---------------------------------------------------------------------------

// Sets TZ for the life of the object and restores the previous value (or its
// absence) afterwards, calling tzset() both times so localtime_r follows.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    const char* old = std::getenv("TZ");
    if (old != nullptr) old_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (old_) {
      ::setenv("TZ", old_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> old_;
};

// Installs `loc` as the global C++ locale for the life of the object.
class ScopedGlobalLocale {
 public:
  explicit ScopedGlobalLocale(const std::locale& loc) : old_(std::locale::global(loc)) {}
  ~ScopedGlobalLocale() { std::locale::global(old_); }
  ScopedGlobalLocale(const ScopedGlobalLocale&) = delete;
  ScopedGlobalLocale& operator=(const ScopedGlobalLocale&) = delete;

 private:
  std::locale old_;
};

// Groups digits in threes with '\'' and writes '_' as the decimal point: a
// stream formatting numbers under it shows any locale dependence at once.
class GroupingPunct : public std::numpunct<char> {
 protected:
  char do_thousands_sep() const override { return '\''; }
  char do_decimal_point() const override { return '_'; }
  std::string do_grouping() const override { return "\1"; }
};

// ---------------------------------------------------------------------------
// get_isodate
// ---------------------------------------------------------------------------

struct FlagCase {
  bool use_datesep;
  bool include_time;
  bool include_seconds;
  bool use_timesep;
  const char* expected;
};

// 1 July 2024, 13:05:09 local time.
const FlagCase kFlagTable[] = {
    {true, true, true, true, "2024-07-01T13:05:09"}, {true, true, true, false, "2024-07-01T130509"},
    {true, true, false, true, "2024-07-01T13:05"},   {true, true, false, false, "2024-07-01T1305"},
    {true, false, true, true, "2024-07-01"},         {true, false, false, false, "2024-07-01"},
    {true, false, true, false, "2024-07-01"},        {false, true, true, true, "20240701T13:05:09"},
    {false, true, true, false, "20240701T130509"},   {false, true, false, true, "20240701T13:05"},
    {false, true, false, false, "20240701T1305"},    {false, false, true, true, "20240701"},
    {false, false, false, false, "20240701"},
};

void expect_flag_table(time_t t) {
  for (const FlagCase& c : kFlagTable) {
    EXPECT_EQ(
        vexo::get_isodate(&t, c.use_datesep, c.include_time, c.include_seconds, c.use_timesep),
        c.expected)
        << "flags " << c.use_datesep << c.include_time << c.include_seconds << c.use_timesep;
  }
}

TEST(GetIsodate, FlagTableInUtc) {
  ScopedTimeZone tz("UTC0");
  expect_flag_table(1719839109);  // 2024-07-01T13:05:09Z
}

TEST(GetIsodate, FlagTableInZoneWithDaylightSaving) {
  // US Eastern rules: 13:05:09 EDT (UTC-4) is 17:05:09Z.
  ScopedTimeZone tz("EST5EDT,M3.2.0,M11.1.0");
  expect_flag_table(1719853509);
  // In winter the same zone is UTC-5.
  const time_t winter = 1704128709;  // 2024-01-01T17:05:09Z
  EXPECT_EQ(vexo::get_isodate(&winter), "2024-01-01T12:05:09");
}

TEST(GetIsodate, FlagTableInHalfHourZoneEastOfUtc) {
  // 13:05:09 at UTC+05:30 is 07:35:09Z.
  ScopedTimeZone tz("<+0530>-5:30");
  expect_flag_table(1719819309);
  // The local date runs ahead of UTC: 20:00Z on 31 Dec is already 1 Jan.
  const time_t t = 1704052800;  // 2023-12-31T20:00:00Z
  EXPECT_EQ(vexo::get_isodate(&t), "2024-01-01T01:30:00");
}

TEST(GetIsodate, DefaultsAreAllFlagsTrue) {
  ScopedTimeZone tz("UTC0");
  const time_t t = 1719839109;
  EXPECT_EQ(vexo::get_isodate(&t), "2024-07-01T13:05:09");
  EXPECT_EQ(vexo::get_isodate(&t, false), "20240701T13:05:09");
  EXPECT_EQ(vexo::get_isodate(&t, true, false), "2024-07-01");
}

TEST(GetIsodate, CalendarEdgesInUtc) {
  ScopedTimeZone tz("UTC0");
  struct {
    time_t t;
    const char* expected;
  } const cases[] = {
      {0, "1970-01-01T00:00:00"},
      {-1, "1969-12-31T23:59:59"},
      {951782400, "2000-02-29T00:00:00"},
      {2147483647, "2038-01-19T03:14:07"},  // past 32-bit time_t is fine
      {2147483648, "2038-01-19T03:14:08"},
      // Years beyond 9999 keep all their digits.
      {253402300799, "9999-12-31T23:59:59"},
      {253402300800, "10000-01-01T00:00:00"},
      {327416976550, "12345-06-07T08:09:10"},
      // Years below 1000 are padded to four digits.
      {-30610224001, "0999-12-31T23:59:59"},
      {-62135596800, "0001-01-01T00:00:00"},
      {-62161992000, "0000-03-01T12:00:00"},
      // Years before 1 carry a sign ahead of at least four digits.
      {-62167219201, "-0001-12-31T23:59:59"},
      // The latest and earliest years localtime_r can represent (int tm_year).
      {67768036191676799, "2147485547-12-31T23:59:59"},
      {-67768040609740800, "-2147481748-01-01T00:00:00"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(vexo::get_isodate(&c.t), c.expected) << "t = " << c.t;
  }
  const time_t big = 253402300800;
  EXPECT_EQ(vexo::get_isodate(&big, false, false), "100000101");
}

TEST(GetIsodate, LargeYearInNonUtcZone) {
  ScopedTimeZone tz("<+0530>-5:30");
  const time_t t = 327416976550 - 19800;  // 08:09:10 local
  EXPECT_EQ(vexo::get_isodate(&t, false, true, true, false), "123450607T080910");
}

TEST(GetIsodate, UnrepresentableTimeGivesEmptyText) {
  ScopedTimeZone tz("UTC0");
  for (time_t t : {time_t{67768036191676800}, time_t{-67768040609740801},
                   std::numeric_limits<time_t>::max(), std::numeric_limits<time_t>::min()}) {
    EXPECT_EQ(vexo::get_isodate(&t), "") << "t = " << t;
    EXPECT_EQ(vexo::get_isodate(&t, false, false), "") << "t = " << t;
  }
}

// Calls `format` between two readings of time() and checks that the result is
// `expected_for` one of the two readings (the second may change in between).
template <typename Format, typename Expected>
void expect_current(Format format, Expected expected_for) {
  const time_t before = ::time(nullptr);
  const std::string text = format();
  const time_t after = ::time(nullptr);
  bool matched = false;
  for (time_t t = before; t <= after; ++t) matched |= text == expected_for(t);
  EXPECT_TRUE(matched) << text;
}

TEST(GetIsodate, NullFollowsLocalZoneNotUtc) {
  ScopedTimeZone tz("<+0530>-5:30");
  expect_current([] { return vexo::get_isodate(nullptr); },
                 [](time_t t) { return vexo::get_isodate(&t); });
  expect_current([] { return vexo::get_isodate(); },
                 [](time_t t) { return vexo::get_isodate(&t); });
  // Half an hour off UTC, the minutes never agree with a UTC rendering.
  const std::string local = vexo::get_isodate();
  std::string utc;
  {
    ScopedTimeZone utc_zone("UTC0");
    utc = vexo::get_isodate();
  }
  EXPECT_NE(local.substr(14, 2), utc.substr(14, 2)) << local << " " << utc;
}

TEST(GetIsodate, DigitsIgnoreGlobalLocale) {
  ScopedTimeZone tz("UTC0");
  ScopedGlobalLocale loc(std::locale(std::locale::classic(), new GroupingPunct));
  // The facet is live: a default stream now groups digits.
  std::ostringstream probe;
  probe << 12345;
  ASSERT_EQ(probe.str(), "1'2'3'4'5");
  const time_t t = 327416976550;
  EXPECT_EQ(vexo::get_isodate(&t), "12345-06-07T08:09:10");
  const time_t t2 = 1719839109;
  EXPECT_EQ(vexo::get_isodate(&t2), "2024-07-01T13:05:09");
}

TEST(GetIsodate, DigitsIgnoreInstalledLocale) {
  ScopedTimeZone tz("UTC0");
  std::optional<std::locale> named;
  for (const char* name :
       {"de_DE.UTF-8", "en_US.UTF-8", "fr_FR.UTF-8", "hi_IN.UTF-8", "ar_EG.UTF-8", "de_CH.UTF-8"}) {
    try {
      named.emplace(name);
      break;
    } catch (const std::runtime_error&) {
    }
  }
  if (!named) {
    GTEST_SKIP() << "no named locale with digit grouping is installed "
                    "(DigitsIgnoreGlobalLocale covers a custom one)";
  }
  ScopedGlobalLocale loc(*named);
  const char* old_c = ::setlocale(LC_ALL, nullptr);
  const std::string saved_c = old_c != nullptr ? old_c : "C";
  ::setlocale(LC_ALL, named->name().c_str());
  const time_t t = 327416976550;
  const std::string text = vexo::get_isodate(&t);
  ::setlocale(LC_ALL, saved_c.c_str());
  EXPECT_EQ(text, "12345-06-07T08:09:10") << "locale " << named->name();
}

TEST(GetIsodate, ThreadsFormatIndependently) {
  ScopedTimeZone tz("UTC0");
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([i, &mismatches] {
      const time_t t = i % 2 == 0 ? 1719839109 : 327416976550;
      const char* expected = i % 2 == 0 ? "2024-07-01T13:05:09" : "12345-06-07T08:09:10";
      for (int k = 0; k < 2000; ++k) {
        if (vexo::get_isodate(&t) != expected) ++mismatches;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// ---------------------------------------------------------------------------
// get_isodate_filename
// ---------------------------------------------------------------------------

TEST(GetIsodateFilename, JoiningRules) {
  ScopedTimeZone tz("EST5EDT,M3.2.0,M11.1.0");
  struct {
    const char* comment;
    const char* extension;
    const char* suffix;
  } const cases[] = {
      {"", "", ""},
      {"backup", "txt", "-backup.txt"},
      {"-backup", ".txt", "-backup.txt"},
      {"", "tar.gz", ".tar.gz"},
      {"", ".tar.gz", ".tar.gz"},
      {"backup", "", "-backup"},
      {"--x", "..y", "--x..y"},
      {"-", ".", "-."},
      {"a/b c", "x:y", "-a/b c.x:y"},  // passed through unchecked
      {".hidden", "-ext", "-.hidden.-ext"},
  };
  for (const auto& c : cases) {
    expect_current(
        [&] { return vexo::get_isodate_filename(c.comment, c.extension); },
        [&](time_t t) { return vexo::get_isodate(&t, true, true, true, false) + c.suffix; });
  }
  expect_current([] { return vexo::get_isodate_filename(); },
                 [](time_t t) { return vexo::get_isodate(&t, true, true, true, false); });
}

TEST(GetIsodateFilename, ViewsNeedNoTerminator) {
  const std::string storage = "commentXXXextYYY";
  const tamu::string_view comment(storage.data(), 7);
  const tamu::string_view extension(storage.data() + 10, 3);
  const std::string name = vexo::get_isodate_filename(comment, extension);
  ASSERT_GE(name.size(), 12u);
  EXPECT_EQ(name.substr(name.size() - 12), "-comment.ext");
}

// ---------------------------------------------------------------------------
// get_unix_time
// ---------------------------------------------------------------------------

std::int64_t wall_ms() {
  return std::chrono::duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

TEST(GetUnixTime, LiesBetweenSurroundingReadingsInWholeMilliseconds) {
  for (int i = 0; i < 1000; ++i) {
    const std::int64_t before = wall_ms();
    const double t = vexo::get_unix_time();
    const std::int64_t after = wall_ms();
    const double ms = t * 1000.0;
    const double rounded = std::round(ms);
    // A double near 1.7e9 s holds milliseconds to within about 1e-4 ms.
    ASSERT_NEAR(ms, rounded, 1e-3) << t;
    const auto whole = static_cast<std::int64_t>(rounded);
    ASSERT_GE(whole, before - 1);
    ASSERT_LE(whole, after);
  }
}

// ---------------------------------------------------------------------------
// Sleeps
// ---------------------------------------------------------------------------

// Bounds for tests that wait on time. Lower bounds are exact; upper bounds
// only have to catch a call that hangs or ignores its flag, so they are far
// above anything a loaded machine produces.
constexpr auto kGenerous = std::chrono::seconds(20);

using Flag = std::shared_ptr<std::atomic<bool>>;

Flag make_flag(bool value) { return std::make_shared<std::atomic<bool>>(value); }

// Runs `call` on its own thread and waits up to `limit` for it. Returns true
// if it finished in time. A call that does not finish is left running
// detached (it owns what it captures), so a broken sleep fails the test
// instead of hanging it.
template <typename Call>
bool finishes_within(Call call, std::chrono::milliseconds limit) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> future = done->get_future();
  std::thread thread([call, done] {
    call();
    done->set_value();
  });
  if (future.wait_for(limit) == std::future_status::ready) {
    thread.join();
    return true;
  }
  thread.detach();
  return false;
}

// Returns the wall-clock milliseconds that `call` took.
template <typename Call>
std::int64_t wall_ms_of(Call call) {
  const auto start = system_clock::now();
  call();
  return std::chrono::duration_cast<milliseconds>(system_clock::now() - start).count();
}

// The overloads must resolve without ambiguity for the everyday argument
// types, with and without a flag.
template <typename T>
concept Sleepable = requires(T v, std::atomic<bool>* f) {
  vexo::sleep(v);
  vexo::sleep(v, f);
  vexo::sleep(v, nullptr);
};
static_assert(Sleepable<int>);
static_assert(Sleepable<double>);
static_assert(Sleepable<float>);
static_assert(Sleepable<unsigned long long>);
static_assert(Sleepable<short>);
static_assert(Sleepable<char>);

TEST(Sleep, LowerBoundsAreExact) {
  // Each call returns only once the wall clock has advanced by at least the
  // requested time since its entry.
  EXPECT_GE(wall_ms_of([] { vexo::sleep_ms(250); }), 250);
  EXPECT_GE(wall_ms_of([] { vexo::sleep_ms(1); }), 1);
  EXPECT_GE(wall_ms_of([] { vexo::sleep_ms(100); }), 100);
  EXPECT_GE(wall_ms_of([] { vexo::sleep_ms(101); }), 101);
  auto flag = make_flag(false);
  EXPECT_GE(wall_ms_of([&] { vexo::sleep_ms(150, flag.get()); }), 150);
}

TEST(Sleep, OverloadsConvertSecondsAndPickTheirType) {
  auto flag = make_flag(false);
  // 1 is an int, 0.15 a double (an int overload would sleep 0 ms), 1ULL an
  // unsigned long long with a flag. The calls sleep at once, each on its own
  // thread and timed there, so that the test takes about a second.
  auto timed = [](auto call) {
    return std::async(std::launch::async, [call] { return wall_ms_of(call); });
  };
  auto one_int = timed([] { vexo::sleep(1); });
  auto one_ull = timed([&flag] { vexo::sleep(1ULL, flag.get()); });
  auto double_s = timed([] { vexo::sleep(0.15); });
  auto quarter = timed([] { vexo::sleep(0.25); });
  auto float_s = timed([] { vexo::sleep(0.0015f); });
  for (auto* ms : {&one_int, &one_ull}) {
    const std::int64_t got = ms->get();
    EXPECT_GE(got, 1000);
    EXPECT_LT(got, 1000 + kGenerous.count() * 1000);
  }
  const std::int64_t got = double_s.get();
  EXPECT_GE(got, 150);
  EXPECT_LT(got, 150 + kGenerous.count() * 1000);
  // 0.25 s truncates to 250 ms, 0.0015 s to 1 ms.
  EXPECT_GE(quarter.get(), 250);
  EXPECT_GE(float_s.get(), 1);
}

// A batch of calls that must each return at once. A single call that slept
// even one 100 ms slice would make the batch take 5 s; a call that hangs is
// caught by finishes_within.
template <typename Call>
void expect_returns_at_once(const char* what, Call call) {
  const auto start = system_clock::now();
  const bool finished = finishes_within(
      [call] {
        for (int i = 0; i < 50; ++i) call();
      },
      kGenerous);
  ASSERT_TRUE(finished) << what << " did not return";
  EXPECT_LT(system_clock::now() - start, std::chrono::milliseconds(2500)) << what;
}

TEST(Sleep, NothingToSleepReturnsAtOnce) {
  auto unset = make_flag(false);
  auto* f = unset.get();
  expect_returns_at_once("sleep_ms(0)", [] { vexo::sleep_ms(0); });
  expect_returns_at_once("sleep_ms(0, flag)", [=] { vexo::sleep_ms(0, f); });
  expect_returns_at_once("sleep(0)", [=] { vexo::sleep(0, f); });
  expect_returns_at_once("sleep(0ULL)", [=] { vexo::sleep(0ULL, f); });
  expect_returns_at_once("sleep(0.0)", [=] { vexo::sleep(0.0, f); });
  expect_returns_at_once("sleep(0.0004)", [=] { vexo::sleep(0.0004, f); });
  expect_returns_at_once("sleep(-1.0)", [=] { vexo::sleep(-1.0, f); });
  expect_returns_at_once("sleep(-inf)",
                         [=] { vexo::sleep(-std::numeric_limits<double>::infinity(), f); });
  expect_returns_at_once("sleep(-0.0)", [=] { vexo::sleep(-0.0, f); });
}

TEST(Sleep, NegativeIntReturnsAtOnce) {
  // Widened with its sign, -1 s would be a count near 2^64 ms.
  auto unset = make_flag(false);
  auto* f = unset.get();
  expect_returns_at_once("sleep(-1)", [=] { vexo::sleep(-1, f); });
  expect_returns_at_once("sleep(-1) without flag", [] { vexo::sleep(-1); });
  expect_returns_at_once("sleep(INT_MIN)",
                         [=] { vexo::sleep(std::numeric_limits<int>::min(), f); });
}

TEST(Sleep, NanReturnsAtOnce) {
  auto unset = make_flag(false);
  auto* f = unset.get();
  expect_returns_at_once("sleep(NaN)",
                         [=] { vexo::sleep(std::numeric_limits<double>::quiet_NaN(), f); });
  expect_returns_at_once("sleep(-NaN)",
                         [=] { vexo::sleep(-std::numeric_limits<double>::quiet_NaN(), f); });
}

TEST(Sleep, FlagSetOnEntryReturnsAtOnce) {
  auto set = make_flag(true);
  auto* f = set.get();
  const auto huge = std::numeric_limits<unsigned long long>::max();
  expect_returns_at_once("sleep_ms", [=] { vexo::sleep_ms(10000, f); });
  expect_returns_at_once("sleep_ms(max)", [=] { vexo::sleep_ms(huge, f); });
  expect_returns_at_once("sleep(int)", [=] { vexo::sleep(10, f); });
  expect_returns_at_once("sleep(ull)", [=] { vexo::sleep(10ULL, f); });
  expect_returns_at_once("sleep(double)", [=] { vexo::sleep(10.0, f); });
  expect_returns_at_once("sleep(inf)",
                         [=] { vexo::sleep(std::numeric_limits<double>::infinity(), f); });
}

// Starts `call(flag)` on its own thread, checks that it is still sleeping
// after `hold`, then sets the flag and checks that it ends.
template <typename Call>
void expect_sleeps_until_flag(const char* what, Call call, std::chrono::milliseconds hold) {
  auto flag = make_flag(false);
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread sleeper([call, flag, done] {
    call(flag.get());
    done->store(true);
  });
  std::this_thread::sleep_for(hold);
  EXPECT_FALSE(done->load()) << what << " returned before its flag was set";
  flag->store(true);
  const auto set_at = system_clock::now();
  while (!done->load() && system_clock::now() - set_at < kGenerous) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (done->load()) {
    sleeper.join();
  } else {
    ADD_FAILURE() << what << " ignored its flag";
    sleeper.detach();
  }
}

TEST(Sleep, HugeCountsSleepUntilTheFlag) {
  // Counts of 2^63 and more must not end after the first slice.
  expect_sleeps_until_flag(
      "sleep_ms(2^63)", [](std::atomic<bool>* f) { vexo::sleep_ms(1ULL << 63, f); },
      milliseconds(400));
  expect_sleeps_until_flag(
      "sleep_ms(max)",
      [](std::atomic<bool>* f) {
        vexo::sleep_ms(std::numeric_limits<unsigned long long>::max(), f);
      },
      milliseconds(400));
}

TEST(Sleep, OverflowingProductsSaturate) {
  // ceil(2^64 / 1000) s times 1000 wraps to 384 ms; saturated it is for ever.
  const unsigned long long wraps = 18446744073709552ULL;
  expect_sleeps_until_flag(
      "sleep(ull)", [=](std::atomic<bool>* f) { vexo::sleep(wraps, f); }, milliseconds(1500));
  expect_sleeps_until_flag(
      "sleep(max ull)",
      [](std::atomic<bool>* f) { vexo::sleep(std::numeric_limits<unsigned long long>::max(), f); },
      milliseconds(400));
  // 2^64 ms and beyond do not fit; a double conversion would be undefined.
  expect_sleeps_until_flag(
      "sleep(1.8446744073709552e16)",
      [](std::atomic<bool>* f) { vexo::sleep(1.8446744073709552e16, f); }, milliseconds(400));
  expect_sleeps_until_flag(
      "sleep(1e300)", [](std::atomic<bool>* f) { vexo::sleep(1e300, f); }, milliseconds(400));
  expect_sleeps_until_flag(
      "sleep(inf)",
      [](std::atomic<bool>* f) { vexo::sleep(std::numeric_limits<double>::infinity(), f); },
      milliseconds(400));
  // INT_MAX s fits (about 68 years) and simply sleeps.
  expect_sleeps_until_flag(
      "sleep(INT_MAX)",
      [](std::atomic<bool>* f) { vexo::sleep(std::numeric_limits<int>::max(), f); },
      milliseconds(400));
}

TEST(Sleep, FlagEndsLongSleepAfterCurrentSlice) {
  // Set 30 ms into a 60 s sleep, the flag is seen before the next slice. The
  // exact reaction (about one 100 ms slice) is measured in the benchmark;
  // here the bound only has to tell "noticed" from "slept it out".
  auto flag = make_flag(false);
  std::thread setter([flag] {
    std::this_thread::sleep_for(milliseconds(30));
    flag->store(true);
  });
  const std::int64_t ms = wall_ms_of([&] { vexo::sleep_ms(60000, flag.get()); });
  setter.join();
  EXPECT_GE(ms, 30);
  EXPECT_LT(ms, 30 + 100 + kGenerous.count() * 1000 / 2);
}

TEST(Sleep, OneFlagReleasesEverySleeper) {
  auto flag = make_flag(false);
  std::atomic<int> finished{0};
  std::vector<std::thread> sleepers;
  sleepers.emplace_back([&] {
    vexo::sleep_ms(600000, flag.get());
    ++finished;
  });
  sleepers.emplace_back([&] {
    vexo::sleep(600, flag.get());
    ++finished;
  });
  sleepers.emplace_back([&] {
    vexo::sleep(600.0, flag.get());
    ++finished;
  });
  sleepers.emplace_back([&] {
    vexo::sleep(600ULL, flag.get());
    ++finished;
  });
  std::this_thread::sleep_for(milliseconds(250));
  EXPECT_EQ(finished.load(), 0);
  flag->store(true);
  for (auto& s : sleepers) s.join();  // hangs (test timeout) if one ignored it
  EXPECT_EQ(finished.load(), 4);
}

// ---------------------------------------------------------------------------
// RFC 3339 texts: random times in several zones against strftime
// ---------------------------------------------------------------------------

// The text that get_rfc3339 must give, built from libc's breakdown and
// strftime: "%Y-%m-%dT%H:%M:%S", the truncated fraction, then "Z" or %z with
// a colon put in.
std::string rfc3339_model(std::int64_t secs, std::uint32_t nanos, bool utc, int digits) {
  const auto t = static_cast<time_t>(secs);
  struct tm fields;
  if (utc) {
    gmtime_r(&t, &fields);
  } else {
    localtime_r(&t, &fields);
  }
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &fields);
  std::string result = text;
  if (digits > 0) {
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, "%09u", nanos);
    result.append(".").append(fraction, static_cast<std::size_t>(digits));
  }
  if (utc) return result + "Z";
  std::strftime(text, sizeof text, "%z", &fields);  // +hhmm
  return result.append(text, 3).append(":").append(text + 3, 2);
}

TEST(GetRfc3339, RandomTimesInSeveralZonesMatchStrftime) {
  std::mt19937_64 rng(3339);
  // The span of system_clock's 64-bit nanoseconds: 1684 to 2255.
  std::uniform_int_distribution<std::int64_t> secs(-9000000000LL, 9000000000LL);
  std::uniform_int_distribution<std::uint32_t> nanos(0, 999999999);
  for (const char* zone :
       {"UTC0", "EST5EDT,M3.2.0,M11.1.0", "<+0530>-5:30", "<-0330>3:30", "<+1345>-13:45"}) {
    ScopedTimeZone tz(zone);
    for (int i = 0; i < 2000; ++i) {
      const std::int64_t s = i == 0 ? 0 : i == 1 ? -1 : secs(rng);
      const std::uint32_t ns = nanos(rng);
      const auto time = system_clock::time_point(std::chrono::duration_cast<system_clock::duration>(
          std::chrono::seconds(s) + std::chrono::nanoseconds(ns)));
      const bool utc = (i & 1) != 0;
      const int digits = i % 10;
      ASSERT_EQ(vexo::get_rfc3339(time, utc, digits), rfc3339_model(s, ns, utc, digits))
          << zone << " at " << s << "." << ns;
    }
  }
}

// The ends of system_clock's range: floor division of min() to whole seconds
// goes below the 64-bit nanosecond range, which the sanitizer build catches.
TEST(GetRfc3339, EndsOfTheClockRange) {
  ScopedTimeZone tz("<+0530>-5:30");
  const auto min = system_clock::time_point::min();
  const auto max = system_clock::time_point::max();
  EXPECT_EQ(vexo::get_rfc3339(min, true, 9), "1677-09-21T00:12:43.145224192Z");
  EXPECT_EQ(vexo::get_rfc3339(max, true, 9), "2262-04-11T23:47:16.854775807Z");
  EXPECT_EQ(vexo::get_rfc3339(min, false, 3), "1677-09-21T05:42:43.145+05:30");
  EXPECT_EQ(vexo::get_rfc3339(max, false, 0), "2262-04-12T05:17:16+05:30");
  EXPECT_EQ(vexo::get_rfc3339(min + std::chrono::nanoseconds(854775807), true, 9),
            "1677-09-21T00:12:43.999999999Z");
  EXPECT_EQ(vexo::get_rfc3339(min + std::chrono::nanoseconds(854775808), true, 9),
            "1677-09-21T00:12:44.000000000Z");
}

TEST(GetRfc3339, ExamplesAndRefusedDigitCounts) {
  ScopedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
  const auto time = system_clock::from_time_t(1796763900);  // 2026-12-08T21:05:00Z
  EXPECT_EQ(vexo::get_rfc3339(time), "2026-12-08T21:05:00Z");
  EXPECT_EQ(vexo::get_rfc3339(time, false), "2026-12-08T22:05:00+01:00");
  EXPECT_EQ(vexo::get_rfc3339(time - std::chrono::nanoseconds(1), true, 9),
            "2026-12-08T21:04:59.999999999Z");
  EXPECT_EQ(vexo::test::error_message([&] { (void)vexo::get_rfc3339(time, true, 10); }),
            "Illegal number of fraction digits: 10");
  EXPECT_EQ(vexo::test::error_message([&] { (void)vexo::get_rfc3339(time, true, -1); }),
            "Illegal number of fraction digits: -1");
}

// ---------------------------------------------------------------------------
// sleep_for with a stop token
// ---------------------------------------------------------------------------

TEST(SleepFor, StopRequestEndsTheSleepAndIsReported) {
  std::stop_source already;
  already.request_stop();
  EXPECT_TRUE(vexo::sleep_for(std::chrono::hours(1), already.get_token()));

  // Sleeps of an hour and of "for ever" end as soon as the stop comes.
  std::stop_source source;
  std::atomic<int> stopped{0};
  std::vector<std::thread> sleepers;
  for (const auto duration :
       {std::chrono::nanoseconds(std::chrono::hours(1)), std::chrono::nanoseconds::max()}) {
    sleepers.emplace_back(
        [&, duration] { stopped += vexo::sleep_for(duration, source.get_token()); });
  }
  source.request_stop();
  for (auto& sleeper : sleepers) sleeper.join();  // hangs (test timeout) if one missed it
  EXPECT_EQ(stopped.load(), 2);

  // Without a stop the whole duration passes on the steady clock.
  std::stop_source idle;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(vexo::sleep_for(milliseconds(30), idle.get_token()));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(30));
  EXPECT_FALSE(vexo::sleep_for(milliseconds(-5), idle.get_token()));
}

}  // namespace
