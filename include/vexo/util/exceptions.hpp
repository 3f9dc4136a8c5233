/// \file
/// The library's exception type.
#pragma once

#include <stdexcept>
#include <string>

#include "vexo/util/export.hpp"

namespace vexo {

/// Error is what the library throws for its own failures: illegal arguments, a
/// full task queue, a hash that could not be computed, unbalanced brackets.
/// Catch it as vexo::Error, std::runtime_error or std::exception.
///
/// The class is header-only (every member inline), so any translation unit that
/// includes this header can throw and catch it without linking the library.
/// An Error is immutable after construction; what() and get_message() may be
/// called from several threads at once.
class VEXO_API Error : public std::runtime_error {
 public:
  /// Constructs an error whose message is `msg`.
  explicit Error(const std::string& msg) : std::runtime_error(msg) {}

  /// Constructs an error whose message is the zero-terminated text `msg`
  /// (which must not be null).
  explicit Error(const char* msg) : std::runtime_error(msg) {}

  /// Destroys the error.
  ~Error() override = default;

  /// Copies the error and its message; never throws (the message is shared).
  Error(const Error&) = default;
  /// Replaces the message by that of `other`; never throws.
  Error& operator=(const Error& other) = default;

  /// Returns the message as a new string, built from what(). what() is called
  /// virtually, so a derived class that overrides it changes this result too.
  /// A message that holds a zero character is cut at it.
  [[nodiscard]] virtual std::string get_message() const { return std::string(what()); }
};

}  // namespace vexo

namespace vexo::util {

/// The same type as vexo::Error, under the namespace of the pool: the pool
/// (ThreadPool, Task, TaskGroup, parallel_for) and version() live in
/// vexo::util, everything else (hashing, text, time, directories, and the
/// exception type itself) in vexo, and this alias lets
/// `catch (const vexo::util::Error&)` catch what any part of the library
/// throws. An alias, not a new class: nothing changes in what is thrown or in
/// the ABI.
using Error = ::vexo::Error;

}  // namespace vexo::util
