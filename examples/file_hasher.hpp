// Streaming SHA-3, SHAKE, TurboSHAKE, KT and Keccak-256 over files, in
// constant memory, on the library's streaming objects. Shared by the example
// programs.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vexo/util/k12.hpp"
#include "vexo/util/sha3.hpp"

namespace vexo::util {
class ThreadPool;
}  // namespace vexo::util

namespace example {

enum class Kind {
  kSha3_224,
  kSha3_256,
  kSha3_384,
  kSha3_512,
  kShake128,
  kShake256,
  kTurboShake128,
  kTurboShake256,
  kKt128,
  kKt256,
  kKeccak256,
};

// One hash function as the command lines name it.
struct Algorithm {
  std::string_view name;  // as given with -a
  std::string_view tag;   // in BSD-style lines: "SHA3-256 (file) = ..."
  Kind kind;
  std::size_t digest_bytes;  // default output length
  bool extendable;           // any output length (-l)
};

inline constexpr Algorithm kAlgorithms[] = {
    {"224", "SHA3-224", Kind::kSha3_224, 28, false},
    {"256", "SHA3-256", Kind::kSha3_256, 32, false},
    {"384", "SHA3-384", Kind::kSha3_384, 48, false},
    {"512", "SHA3-512", Kind::kSha3_512, 64, false},
    {"shake128", "SHAKE128", Kind::kShake128, 32, true},
    {"shake256", "SHAKE256", Kind::kShake256, 64, true},
    {"turboshake128", "TurboSHAKE128", Kind::kTurboShake128, 32, true},
    {"turboshake256", "TurboSHAKE256", Kind::kTurboShake256, 64, true},
    {"kt128", "KT128", Kind::kKt128, 32, true},
    {"kt256", "KT256", Kind::kKt256, 64, true},
    {"keccak256", "Keccak-256", Kind::kKeccak256, 32, false},
};

inline const Algorithm* find_algorithm(std::string_view name) {
  for (const Algorithm& a : kAlgorithms) {
    if (a.name == name) return &a;
  }
  return nullptr;
}

inline const Algorithm* find_tag(std::string_view tag) {
  for (const Algorithm& a : kAlgorithms) {
    if (a.tag == tag) return &a;
  }
  return nullptr;
}

inline std::string to_hex(const std::vector<unsigned char>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * bytes.size());
  for (unsigned char b : bytes) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 15]);
  }
  return hex;
}

namespace detail {

// Feeds everything `file` delivers to `hasher`, `buffer_size` bytes at a
// time, and returns `output_bytes` of its output; nothing on a read error.
template <typename Hasher>
std::optional<std::vector<unsigned char>> hash_with(Hasher hasher, std::FILE* file,
                                                    std::size_t output_bytes,
                                                    std::size_t buffer_size,
                                                    std::size_t* bytes_read) {
  // One buffer per thread, kept between files: a tree of small files would
  // otherwise spend much of its time allocating and zeroing buffers.
  thread_local std::vector<unsigned char> buffer;
  if (buffer.size() < buffer_size) buffer.resize(buffer_size);
  for (;;) {
    const std::size_t n = std::fread(buffer.data(), 1, buffer_size, file);
    if (n > 0) {
      hasher.update(tamu::span<const unsigned char>(buffer.data(), n));
      if (bytes_read != nullptr) *bytes_read += n;
    }
    if (n < buffer_size) break;
  }
  if (std::ferror(file)) return std::nullopt;
  std::vector<unsigned char> digest(output_bytes);
  if constexpr (requires { hasher.finalize().read(digest); }) {
    hasher.finalize().read(digest);
  } else {
    const auto fixed = hasher.finalize();
    digest.assign(fixed.begin(), fixed.end());
  }
  return digest;
}

}  // namespace detail

// Hashes everything `file` delivers. Returns nothing on a read error. Counts
// the bytes read into `*bytes_read` if it is not null. KT hashes its chunks
// on `pool` when one is given (and then reads 4 MiB at a time, so that the
// workers get long runs of chunks); `output_bytes` is ignored for the
// fixed-length digests.
inline std::optional<std::vector<unsigned char>> hash_stream(
    std::FILE* file, const Algorithm& algo, std::size_t output_bytes,
    std::size_t* bytes_read = nullptr, vexo::util::ThreadPool* pool = nullptr) {
  constexpr std::size_t kBuffer = std::size_t{1} << 16;
  const std::size_t kt_buffer = pool != nullptr ? std::size_t{4} << 20 : kBuffer;
  switch (algo.kind) {
    case Kind::kSha3_224:
      return detail::hash_with(vexo::Sha3_224(), file, output_bytes, kBuffer, bytes_read);
    case Kind::kSha3_256:
      return detail::hash_with(vexo::Sha3_256(), file, output_bytes, kBuffer, bytes_read);
    case Kind::kSha3_384:
      return detail::hash_with(vexo::Sha3_384(), file, output_bytes, kBuffer, bytes_read);
    case Kind::kSha3_512:
      return detail::hash_with(vexo::Sha3_512(), file, output_bytes, kBuffer, bytes_read);
    case Kind::kShake128:
      return detail::hash_with(vexo::Shake128(), file, output_bytes, kBuffer, bytes_read);
    case Kind::kShake256:
      return detail::hash_with(vexo::Shake256(), file, output_bytes, kBuffer, bytes_read);
    case Kind::kTurboShake128:
      return detail::hash_with(vexo::TurboShake128(), file, output_bytes, kBuffer, bytes_read);
    case Kind::kTurboShake256:
      return detail::hash_with(vexo::TurboShake256(), file, output_bytes, kBuffer, bytes_read);
    case Kind::kKt128:
      return detail::hash_with(vexo::Kt128(pool), file, output_bytes, kt_buffer, bytes_read);
    case Kind::kKt256:
      return detail::hash_with(vexo::Kt256(pool), file, output_bytes, kt_buffer, bytes_read);
    case Kind::kKeccak256:
      return detail::hash_with(vexo::Keccak256(), file, output_bytes, kBuffer, bytes_read);
  }
  return std::nullopt;
}

// Hashes the file at `path`; nothing if it cannot be opened or read.
inline std::optional<std::vector<unsigned char>> hash_file(const std::string& path,
                                                           const Algorithm& algo,
                                                           std::size_t output_bytes,
                                                           std::size_t* bytes_read = nullptr,
                                                           vexo::util::ThreadPool* pool = nullptr) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  auto digest = hash_stream(file, algo, output_bytes, bytes_read, pool);
  std::fclose(file);
  return digest;
}

}  // namespace example
