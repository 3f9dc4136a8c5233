/// \file
/// Wall-clock readings, ISO 8601 style date texts and sleeps that another thread
/// can cut short.
///
/// Every function here is reentrant: it keeps no state between calls and may
/// run in several threads at once.
#pragma once

#include <atomic>
#include <chrono>
#include <ctime>
#include <stop_token>
#include <string>

#include "tamu/string_view.hpp"
#include "vexo/util/export.hpp"

namespace vexo {

// ---------------------------------------------------------------------------
// Clock and dates
// ---------------------------------------------------------------------------

/// Returns the current Unix time (seconds since 1970-01-01 00:00:00 UTC, read
/// from the wall clock) with a fraction truncated to whole milliseconds. The
/// result is no later than the wall clock just after the call and no earlier
/// than the wall clock just before it minus one millisecond. Never throws.
///
/// Example:
/// \code
/// double t0 = vexo::get_unix_time();
/// ...
/// double seconds_taken = vexo::get_unix_time() - t0;
/// \endcode
VEXO_API double get_unix_time();

/// Returns the local calendar date of `*tp` (of the current time when `tp` is
/// null) as a new string, broken down with localtime_r and so following the
/// process's time zone (call tzset() after changing TZ). Built left to right:
///   - the year in at least 4 digits, left-padded with '0' (0999, 2024,
///     12345); a year before 1 gets a '-' and then at least 4 digits (-0001);
///   - '-' if `use_datesep`, the month 01..12, '-' if `use_datesep`, the day
///     01..31;
///   - only if `include_time`: 'T', the hour 00..23, ':' if `use_timesep`, the
///     minute 00..59, and only if `include_seconds` a ':' if `use_timesep` and
///     the second 00..60.
/// There is no zone designator and no fraction. `include_seconds` and
/// `use_timesep` have no effect without `include_time`. The digits are always
/// ASCII and never grouped, whatever the process's locale.
/// Returns an empty string when `*tp` cannot be broken down into local
/// calendar fields (a value whose year does not fit in an int). Throws only
/// std::bad_alloc.
///
/// Example (1 July 2024, 13:05:09 local time):
/// \code
/// get_isodate(&t)                            -> "2024-07-01T13:05:09"
/// get_isodate(&t, false, true, true, false)  -> "20240701T130509"
/// get_isodate(&t, true, false)               -> "2024-07-01"
/// \endcode
VEXO_API std::string get_isodate(const time_t* tp = nullptr, bool use_datesep = true,
                                 bool include_time = true, bool include_seconds = true,
                                 bool use_timesep = true);

/// Returns a date-stamped file name for the current local time as a new
/// string: get_isodate(nullptr, true, true, true, false), then, if `comment` is
/// not empty, '-' (left out when `comment` starts with '-') and `comment`,
/// then, if `extension` is not empty, '.' (left out when `extension` starts
/// with '.') and `extension`. Neither text is checked or escaped: a '/' or any
/// other character passes through. The views are only read during the call.
/// Throws only std::bad_alloc.
///
/// Example (at 2024-07-01 13:05:09 local time):
/// \code
/// get_isodate_filename("backup", "txt")    -> "2024-07-01T130509-backup.txt"
/// get_isodate_filename("", ".tar.gz")      -> "2024-07-01T130509.tar.gz"
/// \endcode
VEXO_API std::string get_isodate_filename(tamu::string_view comment = {},
                                          tamu::string_view extension = {});

/// Returns `time` as an RFC 3339 date-time text, a new string:
///   - `utc` true: the UTC time and "Z", as in "2026-12-08T21:05:00Z";
///   - `utc` false: the local time of the process's time zone (localtime_r,
///     call tzset() after changing TZ) and its numeric offset, as in
///     "2026-12-08T22:05:00+01:00" ("+00:00" for a zone at UTC). An offset
///     that is not a whole number of minutes (old local mean times) is
///     truncated to minutes and the time shown moves with it, so the text
///     always names `time` exactly.
/// `fraction_digits` (0 to 9; 0, 3, 6 and 9 are the usual ones) digits of the
/// second's fraction follow the seconds after a '.', truncated, not rounded;
/// with 0 there is no '.'. Times before 1970 are fine. Years outside 0000 to
/// 9999, which RFC 3339 cannot write, are written as get_isodate writes them
/// (more digits, or '-' and at least four digits). No locale or stream is
/// involved; the digits are always ASCII.
///
/// Throws vexo::Error "Illegal number of fraction digits: <n>" for a count
/// outside 0 to 9; returns an empty string when the local time cannot be
/// broken down (as get_isodate); otherwise throws only std::bad_alloc.
///
/// Example:
/// \code
/// get_rfc3339(std::chrono::system_clock::from_time_t(0), true, 3)
///     -> "1970-01-01T00:00:00.000Z"
/// \endcode
VEXO_API std::string get_rfc3339(std::chrono::system_clock::time_point time, bool utc = true,
                                 int fraction_digits = 0);

// ---------------------------------------------------------------------------
// Interruptible sleep
// ---------------------------------------------------------------------------

/// \name Interruptible sleep with a flag
/// The sleeps measure on the wall clock: they return once it has advanced by at
/// least the requested time since entry (so setting the clock forward ends a
/// sleep early, setting it back lengthens it). They sleep in slices of at most
/// 100 ms and load `*interrupt` before each slice; a flag found true ends the
/// call at once, so a sleep ends about one slice after another thread sets the
/// flag. The flag is only read, never reset: a caller that reuses one must
/// clear it. Several threads may sleep on one flag. None of them allocates,
/// throws or returns a value; the caller learns of an interruption from its own
/// flag. `interrupt` may be null: then the sleep cannot be cut short.
/// @{

/// Sleeps `milliseconds` milliseconds or until `*interrupt` is found true.
/// Returns at once for 0. A count of 2^63 or more (over 292 million years)
/// sleeps until the flag is set, i.e. for ever when `interrupt` is null.
///
/// Example:
/// \code
/// std::atomic<bool> stop{false};
/// vexo::sleep_ms(250, &stop);  // another thread may set stop
/// \endcode
VEXO_API void sleep_ms(unsigned long long milliseconds, std::atomic<bool>* interrupt = nullptr);

/// Sleeps `seconds` seconds (sleep_ms of seconds * 1000), or until
/// `*interrupt` is found true. A product beyond 64 bits saturates to the
/// largest count, which sleeps until the flag is set.
VEXO_API void sleep(unsigned long long seconds, std::atomic<bool>* interrupt = nullptr);

/// Sleeps `seconds` seconds, or until `*interrupt` is found true. Returns at
/// once for zero or a negative value.
VEXO_API void sleep(int seconds, std::atomic<bool>* interrupt = nullptr);

/// Sleeps `seconds` seconds, the product by 1000 truncated toward zero to whole
/// milliseconds (1.5 sleeps 1500 ms, 0.0004 returns at once), or until
/// `*interrupt` is found true. Returns at once, without reading the flag, for
/// zero, a negative value or NaN. A value whose millisecond count does not fit
/// in 64 bits (infinity included) saturates to the largest count, which sleeps
/// until the flag is set.
///
/// Overloads: vexo::sleep(1) takes `int`, vexo::sleep(1.5) and a float take
/// `double`, vexo::sleep(2ULL) takes `unsigned long long`. Other integer types
/// (unsigned, long, size_t) are ambiguous: cast them to one of the three.
///
/// Beware of POSIX \::sleep(unsigned int) from `<unistd.h>`: after
/// `using namespace vexo;` an unqualified sleep(1u) matches it exactly and
/// silently calls it (uninterruptible, and a different function), while
/// sleep(1) becomes ambiguous. Write vexo::sleep(...) in full.
VEXO_API void sleep(double seconds, std::atomic<bool>* interrupt = nullptr);

/// @}

/// Sleeps for `duration` on the steady clock, or until a stop is requested on
/// `stop`; returns true when the sleep ended because of a stop request (also
/// when one was already made on entry, which returns at once), false when the
/// whole duration passed. The sleeping thread waits on a condition variable
/// (std::condition_variable_any) that the stop request notifies, so it wakes
/// at once and nothing polls. Returns false at once for zero or a negative
/// duration with no stop requested. A duration too long for the steady clock
/// sleeps until a stop is requested, i.e. for ever when `stop` has no
/// associated stop state. Throws only std::system_error (from the wait).
///
/// Example:
/// \code
/// std::jthread worker([](std::stop_token st) {
///   while (!vexo::sleep_for(std::chrono::seconds(10), st)) poll_something();
/// });  // the jthread's destructor requests a stop: the worker ends at once
/// \endcode
VEXO_API bool sleep_for(std::chrono::nanoseconds duration, std::stop_token stop);

}  // namespace vexo
