// HMAC on the SHA-3 functions (FIPS 198-1) and constant_time_equal.
#include "vexo/util/hmac.hpp"

#include <cstring>

#include "sponge.hpp"
#include "vexo/util/hash_algorithms.hpp"
#include "vexo/util/keccak.hpp"

namespace vexo {

namespace {

constexpr unsigned char kSha3Suffix = 0x06;
constexpr unsigned char kInnerPad = 0x36;
constexpr unsigned char kOuterPad = 0x5C;
// The block of SHA3-224, the largest of the four.
constexpr std::size_t kMaxBlock = 144;

// Finishes a SHA-3 sponge into digest_size bytes at `output`.
void finish_sha3(const keccak::SpongeInstance& sponge, std::size_t digest_size,
                 unsigned char* output) {
  detail::finish_sponge(sponge, kSha3Suffix, output, digest_size);
}

template <std::size_t N>
void hmac(unsigned int rate, tamu::span<const unsigned char> key,
          tamu::span<const unsigned char> input, tamu::span<unsigned char, N> output) {
  detail::HmacStream stream(rate, N, key);
  stream.update(input);
  stream.finalize(output.data());
}

}  // namespace

namespace detail {

HmacStream::HmacStream(unsigned int rate, std::size_t digest_size,
                       tamu::span<const unsigned char> key) noexcept
    : digest_size_(digest_size) {
  const std::size_t block = rate / 8;
  // K0: the key, or its digest when longer than a block, then zeros.
  unsigned char k0[kMaxBlock] = {};
  if (key.size() > block) {
    keccak::SpongeInstance hashed;
    detail::init_sponge(&hashed, rate, detail::kSha3_256.rounds);
    keccak::SpongeAbsorb(&hashed, key.data(), key.size());
    finish_sha3(hashed, digest_size, k0);
  } else if (!key.empty()) {
    std::memcpy(k0, key.data(), key.size());
  }
  unsigned char pad[kMaxBlock];
  for (std::size_t i = 0; i < block; ++i) pad[i] = static_cast<unsigned char>(k0[i] ^ kInnerPad);
  init_sponge(&inner_start_, rate, kSha3_256.rounds);
  keccak::SpongeAbsorb(&inner_start_, pad, block);
  for (std::size_t i = 0; i < block; ++i) pad[i] = static_cast<unsigned char>(k0[i] ^ kOuterPad);
  init_sponge(&outer_, rate, kSha3_256.rounds);
  keccak::SpongeAbsorb(&outer_, pad, block);
  inner_ = inner_start_;
  // The key's bytes do not outlive the constructor.
  volatile unsigned char* wipe = k0;
  for (std::size_t i = 0; i < block; ++i) wipe[i] = 0;
}

void HmacStream::update(tamu::span<const unsigned char> data) noexcept {
  keccak::SpongeAbsorb(&inner_, data.data(), data.size());
}

void HmacStream::finalize(unsigned char* output) const noexcept {
  unsigned char inner_digest[64];
  finish_sha3(inner_, digest_size_, inner_digest);
  keccak::SpongeInstance outer = outer_;
  keccak::SpongeAbsorb(&outer, inner_digest, digest_size_);
  finish_sha3(outer, digest_size_, output);
}

void HmacStream::reset() noexcept { inner_ = inner_start_; }

}  // namespace detail

void hmac_sha3_224(tamu::span<const unsigned char> key, tamu::span<const unsigned char> input,
                   tamu::span<unsigned char, 28> output) {
  hmac(detail::kSha3_224.rate, key, input, output);
}

void hmac_sha3_256(tamu::span<const unsigned char> key, tamu::span<const unsigned char> input,
                   tamu::span<unsigned char, 32> output) {
  hmac(detail::kSha3_256.rate, key, input, output);
}

void hmac_sha3_384(tamu::span<const unsigned char> key, tamu::span<const unsigned char> input,
                   tamu::span<unsigned char, 48> output) {
  hmac(detail::kSha3_384.rate, key, input, output);
}

void hmac_sha3_512(tamu::span<const unsigned char> key, tamu::span<const unsigned char> input,
                   tamu::span<unsigned char, 64> output) {
  hmac(detail::kSha3_512.rate, key, input, output);
}

bool constant_time_equal(tamu::span<const unsigned char> a,
                         tamu::span<const unsigned char> b) noexcept {
  if (a.size() != b.size()) return false;
  unsigned int difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned int>(a[i] ^ b[i]);
    // Hides the value from the optimizer, which could otherwise stop the
    // loop once every bit of `difference` is set.
    __asm__ __volatile__("" : "+r"(difference));
  }
  // Computed without a branch: (difference - 1) has its top bit set only
  // when difference was 0.
  return ((difference - 1) >> (sizeof difference * 8 - 1)) != 0;
}

}  // namespace vexo
