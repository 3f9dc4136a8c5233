// What the example programs share: the table of algorithms, the one place
// that turns an algorithm into a streaming object, hexadecimal output in
// pieces, coreutils' escaping of file names, and running jobs on a pool with
// their results taken in submission order.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <future>
#include <string>
#include <string_view>
#include <variant>

#include "vexo/util/ThreadPool.hpp"
#include "vexo/util/hash_file.hpp"
#include "vexo/util/k12.hpp"
#include "vexo/util/sha3.hpp"

// The one place for the library's version; swap in vexo::util::version()
// once vexo/util/version.hpp exists.
#ifndef VEXO_EXAMPLES_VERSION
#define VEXO_EXAMPLES_VERSION "unknown"
#endif

namespace example {

inline const char* library_version() { return VEXO_EXAMPLES_VERSION; }

// One hash function as the command lines name it.
struct Algorithm {
  std::string_view name;     // short name for -a
  std::string_view tag;      // in BSD-style lines: "SHA3-256 (file) = ..."; also taken by -a
  std::size_t digest_bytes;  // default output length
  bool extendable;           // any output length (-l)
};

inline constexpr Algorithm kAlgorithms[] = {
    {"224", "SHA3-224", 28, false},
    {"256", "SHA3-256", 32, false},
    {"384", "SHA3-384", 48, false},
    {"512", "SHA3-512", 64, false},
    {"shake128", "SHAKE128", 32, true},
    {"shake256", "SHAKE256", 64, true},
    {"turboshake128", "TurboSHAKE128", 32, true},
    {"turboshake256", "TurboSHAKE256", 64, true},
    {"kt128", "KT128", 32, true},
    {"kt256", "KT256", 64, true},
    {"keccak256", "Keccak-256", 32, false},
};

inline bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

// Returns the algorithm that `name` names: a short name ("256", "kt128") or a
// tag in any case ("SHA3-256", "sha3-256"); null for anything else.
inline const Algorithm* find_algorithm(std::string_view name) {
  for (const Algorithm& a : kAlgorithms) {
    if (a.name == name || equal_ignoring_case(a.tag, name)) return &a;
  }
  return nullptr;
}

// Returns the algorithm whose tag is exactly `tag`, as check lines write it.
inline const Algorithm* find_tag(std::string_view tag) {
  for (const Algorithm& a : kAlgorithms) {
    if (a.tag == tag) return &a;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Hasher: any of the algorithms behind one interface, in the shape of the
// library's run-time hasher (update, finalize, finalize_xof) so that the
// programs can move to it by changing this class alone.

class Hasher {
 public:
  // A hasher for `algo`; KT hashes its leaves on `pool` (may be null).
  Hasher(const Algorithm& algo, vexo::util::ThreadPool* pool) : algo_(&algo) {
    const std::string_view n = algo.name;
    if (n == "224") state_.emplace<vexo::Sha3_224>();
    if (n == "256") state_.emplace<vexo::Sha3_256>();
    if (n == "384") state_.emplace<vexo::Sha3_384>();
    if (n == "512") state_.emplace<vexo::Sha3_512>();
    if (n == "shake128") state_.emplace<vexo::Shake128>();
    if (n == "shake256") state_.emplace<vexo::Shake256>();
    if (n == "turboshake128") state_.emplace<vexo::TurboShake128>();
    if (n == "turboshake256") state_.emplace<vexo::TurboShake256>();
    if (n == "kt128") state_.emplace<vexo::Kt128>(pool);
    if (n == "kt256") state_.emplace<vexo::Kt256>(pool);
    if (n == "keccak256") state_.emplace<vexo::Keccak256>();
  }

  const Algorithm& algorithm() const { return *algo_; }
  std::size_t digest_size() const { return algo_->digest_bytes; }
  bool extendable() const { return algo_->extendable; }

  void update(tamu::span<const unsigned char> data) {
    std::visit(
        [&](auto& h) {
          if constexpr (!std::is_same_v<std::decay_t<decltype(h)>, std::monostate>) h.update(data);
        },
        state_);
  }

  // Writes the fixed-length digest (digest_size() bytes) into `out`.
  void finalize(tamu::span<unsigned char> out) const {
    std::visit(
        [&](const auto& h) {
          if constexpr (requires { h.finalize().size(); }) {
            const auto digest = h.finalize();
            std::copy_n(digest.begin(), std::min(digest.size(), out.size()), out.begin());
          }
        },
        state_);
  }

  // Returns a reader of the output of an extendable-output function.
  vexo::XofReader finalize_xof() const {
    return std::visit(
        [](const auto& h) -> vexo::XofReader {
          if constexpr (requires { h.finalize().read(tamu::span<unsigned char>()); }) {
            return h.finalize();
          } else {
            return vexo::Shake128().finalize();  // not reached: callers check extendable()
          }
        },
        state_);
  }

 private:
  const Algorithm* algo_;
  std::variant<std::monostate, vexo::Sha3_224, vexo::Sha3_256, vexo::Sha3_384, vexo::Sha3_512,
               vexo::Shake128, vexo::Shake256, vexo::TurboShake128, vexo::TurboShake256,
               vexo::Kt128, vexo::Kt256, vexo::Keccak256>
      state_;
};

// Passes `length` bytes of `hasher`'s output as lower-case hex to
// `out(const char*, std::size_t)`, in pieces of at most 32 KiB, so that any
// length takes constant memory. A digest of fixed length is passed whole,
// whatever `length` says.
template <class Out>
void hex_output(const Hasher& hasher, std::uint64_t length, Out out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  unsigned char bytes[16384];
  char hex[2 * sizeof bytes];
  auto put = [&](std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      hex[2 * i] = kDigits[bytes[i] >> 4];
      hex[2 * i + 1] = kDigits[bytes[i] & 15];
    }
    out(hex, 2 * n);
  };
  if (!hasher.extendable()) {
    hasher.finalize(tamu::span<unsigned char>(bytes, hasher.digest_size()));
    put(hasher.digest_size());
    return;
  }
  vexo::XofReader reader = hasher.finalize_xof();
  while (length > 0) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length, sizeof bytes));
    reader.read(tamu::span<unsigned char>(bytes, n));
    put(n);
    length -= n;
  }
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

  void add(std::function<Result()> job) {
    if (pool_ == nullptr) {
      Result r = job();
      sink_(r);
      return;
    }
    while (pending_.size() >= window_) take_one();
    pending_.push_back(pool_->submit(std::move(job), "file").result);
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
