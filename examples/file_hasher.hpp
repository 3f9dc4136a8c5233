// Streaming SHA-3 / SHAKE over files, in constant memory, on the incremental
// sponge. Shared by the example programs.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vexo/util/keccak.hpp"

namespace example {

// One of the six FIPS 202 functions, as sponge parameters.
struct Algorithm {
  std::string_view name;     // as given on the command line
  unsigned int rate;         // bits
  unsigned char suffix;      // delimited domain suffix
  std::size_t digest_bytes;  // default output length
};

inline constexpr Algorithm kAlgorithms[] = {
    {"224", 1152, 0x06, 28}, {"256", 1088, 0x06, 32},      {"384", 832, 0x06, 48},
    {"512", 576, 0x06, 64},  {"shake128", 1344, 0x1F, 32}, {"shake256", 1088, 0x1F, 64},
};

inline const Algorithm* find_algorithm(std::string_view name) {
  for (const Algorithm& a : kAlgorithms) {
    if (a.name == name) return &a;
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

// Hashes everything `file` delivers, 64 KiB at a time. Returns nothing on a
// read error. Counts the bytes read into `*bytes_read` if it is not null.
inline std::optional<std::vector<unsigned char>> hash_stream(std::FILE* file, const Algorithm& algo,
                                                             std::size_t output_bytes,
                                                             std::size_t* bytes_read = nullptr) {
  using namespace vexo::keccak;
  SpongeInstance sponge;
  if (SpongeInitialize(&sponge, algo.rate, 1600 - algo.rate) != 0) return std::nullopt;
  std::vector<unsigned char> buffer(std::size_t{1} << 16);
  for (;;) {
    const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), file);
    if (n > 0) {
      SpongeAbsorb(&sponge, buffer.data(), n);
      if (bytes_read != nullptr) *bytes_read += n;
    }
    if (n < buffer.size()) break;
  }
  if (std::ferror(file)) return std::nullopt;
  std::vector<unsigned char> digest(output_bytes);
  SpongeAbsorbLastFewBits(&sponge, algo.suffix);
  SpongeSqueeze(&sponge, digest.data(), digest.size());
  return digest;
}

// Hashes the file at `path`; nothing if it cannot be opened or read.
inline std::optional<std::vector<unsigned char>> hash_file(const std::string& path,
                                                           const Algorithm& algo,
                                                           std::size_t output_bytes,
                                                           std::size_t* bytes_read = nullptr) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  auto digest = hash_stream(file, algo, output_bytes, bytes_read);
  std::fclose(file);
  return digest;
}

}  // namespace example
