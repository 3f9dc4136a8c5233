// What the example programs share: the algorithms by the names the command
// lines take, hexadecimal output in pieces, coreutils' escaping of file
// names, and running jobs on a pool with their results taken in submission
// order. The hashing itself is vexo::Hasher's, fed by vexo::update_from_file.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vexo/util/Hasher.hpp"
#include "vexo/util/ThreadPool.hpp"
#include "vexo/util/exceptions.hpp"
#include "vexo/util/hash_file.hpp"

// The one place for the library's version: the loaded library's, once
// vexo/util/version.hpp is there, else the project version that CMake passes.
#if __has_include("vexo/util/version.hpp")
#include "vexo/util/version.hpp"
#define VEXO_EXAMPLES_LIBRARY_VERSION() vexo::util::version()
#elif defined(VEXO_EXAMPLES_VERSION)
#define VEXO_EXAMPLES_LIBRARY_VERSION() VEXO_EXAMPLES_VERSION
#else
#define VEXO_EXAMPLES_LIBRARY_VERSION() "unknown"
#endif

namespace example {

inline const char* library_version() { return VEXO_EXAMPLES_LIBRARY_VERSION(); }

// One of vexo::Hasher's functions, with the lengths the programs need before
// they hash anything.
struct Algorithm {
  std::string_view tag;      // vexo::Hasher's name, as in "SHA3-256 (file) = ..."
  std::size_t digest_bytes;  // default output length
  bool extendable;           // any output length (-l)
};

// Returns every function vexo::Hasher knows, in its order.
inline const std::vector<Algorithm>& algorithms() {
  static const std::vector<Algorithm> all = [] {
    std::vector<Algorithm> out;
    for (const std::string_view tag : vexo::Hasher::names()) {
      const std::optional<vexo::Hasher> h = vexo::Hasher::by_name(tag);
      out.push_back({tag, h->digest_size(), h->extendable()});
    }
    return out;
  }();
  return all;
}

// Lower case without dashes: "SHA3-256" and "sha3256", "Keccak-256" and
// "keccak256" are the same name.
inline std::string folded(std::string_view name) {
  std::string out;
  for (const char c : name) {
    if (c != '-') out += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return out;
}

// Returns the algorithm that `name` names: a tag in any case, with or
// without its dash ("SHA3-256", "sha3-256", "kt128", "keccak256"), or the
// SHA-3 digest length alone ("256"); null for anything else.
inline const Algorithm* find_algorithm(std::string_view name) {
  const std::string key = folded(name);
  for (const Algorithm& a : algorithms()) {
    if (folded(a.tag) == key || folded(a.tag) == "sha3" + key) return &a;
  }
  return nullptr;
}

// Returns the algorithm whose tag is exactly `tag`, as check lines write it.
inline const Algorithm* find_tag(std::string_view tag) {
  for (const Algorithm& a : algorithms()) {
    if (a.tag == tag) return &a;
  }
  return nullptr;
}

// Returns a new hasher for `algo`; KT and ParallelHash use `pool` (may be
// null) for long updates.
inline vexo::Hasher make_hasher(const Algorithm& algo, vexo::util::ThreadPool* pool) {
  return *vexo::Hasher::by_name(algo.tag, pool);
}

// Bytes of output converted to hex at a time.
inline constexpr std::size_t kPiece = 16384;

// Passes `length` bytes of `hasher`'s output as lower-case hex to
// `out(const char*, std::size_t)`, in pieces of at most 32 KiB, so that a
// long output of the functions whose shorter outputs are prefixes of longer
// ones takes constant memory. ParallelHash binds the length into its output,
// so it is finalized whole; returns false, having passed nothing to `out`,
// when the memory for it cannot be had. A digest of fixed length is passed
// whole, whatever `length` says.
template <class Out>
bool hex_output(const vexo::Hasher& hasher, std::uint64_t length, Out out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  auto put = [&](const unsigned char* bytes, std::size_t n) {
    char hex[2 * kPiece];
    for (std::size_t i = 0; i < n; ++i) {
      hex[2 * i] = kDigits[bytes[i] >> 4];
      hex[2 * i + 1] = kDigits[bytes[i] & 15];
    }
    out(hex, 2 * n);
  };
  if (!hasher.extendable() || hasher.name().starts_with("ParallelHash")) {
    const std::uint64_t size = hasher.extendable() ? length : hasher.digest_size();
    std::unique_ptr<unsigned char[]> bytes;
    try {
      bytes = std::make_unique_for_overwrite<unsigned char[]>(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
      return false;
    }
    hasher.finalize(tamu::span<unsigned char>(bytes.get(), static_cast<std::size_t>(size)));
    for (std::uint64_t at = 0; at < size; at += kPiece) {
      put(bytes.get() + at, static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, size - at)));
    }
    return true;
  }
  vexo::XofReader reader = hasher.finalize_xof();
  unsigned char bytes[kPiece];
  while (length > 0) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length, kPiece));
    reader.read(tamu::span<unsigned char>(bytes, n));
    put(bytes, n);
    length -= n;
  }
  return true;
}

// ---------------------------------------------------------------------------
// File names as coreutils writes them in checksum lines

// Whether `name` must be written escaped: it holds a newline, a carriage
// return or a backslash, which would otherwise end or change the line.
inline bool needs_escape(std::string_view name) {
  return name.find_first_of("\n\r\\") != std::string_view::npos;
}

// Returns `name` with \ written as \\, a newline as \n and a carriage return
// as \r. The caller writes a \ at the start of the line before it.
inline std::string escape_name(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

// Undoes escape_name(); false for a \ followed by anything but \, n or r.
inline bool unescape_name(std::string_view text, std::string* name) {
  name->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *name += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case '\\':
        *name += '\\';
        break;
      case 'n':
        *name += '\n';
        break;
      case 'r':
        *name += '\r';
        break;
      default:
        return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Jobs on a pool, results in order

// Runs jobs on `pool`, at most `window` of them queued or running, and passes
// each result to `sink` on the calling thread in the order the jobs were
// added. Without a pool each job runs at once on the calling thread.
template <class Result>
class InOrder {
 public:
  InOrder(vexo::util::ThreadPool* pool, std::size_t window, std::function<void(Result&)> sink)
      : pool_(pool), window_(window), sink_(std::move(sink)) {}
  InOrder(const InOrder&) = delete;
  InOrder& operator=(const InOrder&) = delete;
  ~InOrder() {
    for (auto& f : pending_) f.wait();  // the jobs refer to the caller's data
  }

  // Adds a job; `here` runs it at once on the calling thread (its result
  // still passed in order), for jobs that must not run beside each other.
  void add(std::function<Result()> job, bool here = false) {
    if (pool_ != nullptr && here) {
      std::promise<Result> done;
      done.set_value(job());
      pending_.push_back(done.get_future());
      while (pending_.size() > window_) take_one();
      return;
    }
    if (pool_ == nullptr) {
      Result r = job();
      sink_(r);
      return;
    }
    while (pending_.size() >= window_) take_one();
    try {
      pending_.push_back(pool_->submit(job, "file").result);
    } catch (const vexo::Error&) {
      // A full queue (KT's and ParallelHash's helpers take room in it too):
      // this thread runs the job.
      std::promise<Result> done;
      done.set_value(job());
      pending_.push_back(done.get_future());
    }
  }

  // Passes every outstanding result to the sink.
  void finish() {
    while (!pending_.empty()) take_one();
  }

 private:
  void take_one() {
    Result r = pending_.front().get();
    pending_.pop_front();
    sink_(r);
  }

  vexo::util::ThreadPool* pool_;
  std::size_t window_;
  std::function<void(Result&)> sink_;
  std::deque<std::future<Result>> pending_;
};

}  // namespace example
