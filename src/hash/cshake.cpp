// cSHAKE, KMAC, TupleHash and ParallelHash (NIST SP 800-185) on the sponge
// of keccak.hpp, with ParallelHash's blocks on the leaf engine.
#include "vexo/util/cshake.hpp"

#include <cstring>

#include "leaf_engine.hpp"
#include "sponge.hpp"
#include "vexo/util/exceptions.hpp"
#include "vexo/util/keccak.hpp"

namespace vexo {

namespace {

// ----------------------------------------------------------------------------
// Encodings
// ----------------------------------------------------------------------------

constexpr unsigned char kCshakeSuffix = detail::kParallelHash128.suffix;
constexpr unsigned char kShakeSuffix = detail::kShake128.suffix;
constexpr unsigned char kParallelHashName[12] = {'P', 'a', 'r', 'a', 'l', 'l',
                                                 'e', 'l', 'H', 'a', 's', 'h'};

// cSHAKE128 and cSHAKE256 have the rates of SHAKE128 and SHAKE256.
unsigned int rate_for(unsigned int bits) {
  return bits == 256 ? detail::kShake256.rate : detail::kShake128.rate;
}

// The big-endian bytes of a value of up to 72 bits, high * 2^64 + low,
// without leading zeros but at least one: what left_encode and right_encode
// put around their length byte. Returns the count, at most 9.
std::size_t encode_bytes(std::uint64_t high, std::uint64_t low, unsigned char* out) {
  unsigned char bytes[9];
  bytes[0] = static_cast<unsigned char>(high);
  for (std::size_t i = 0; i < 8; ++i)
    bytes[1 + i] = static_cast<unsigned char>(low >> (56 - 8 * i));
  std::size_t first = 0;
  while (first < 8 && bytes[first] == 0) ++first;
  std::memcpy(out, bytes + first, 9 - first);
  return 9 - first;
}

// left_encode(value) to `out` (at most 10 bytes); returns its length.
std::size_t left_encode(std::uint64_t value, unsigned char* out) {
  const std::size_t n = encode_bytes(0, value, out + 1);
  out[0] = static_cast<unsigned char>(n);
  return n + 1;
}

// right_encode(value) to `out` (at most 10 bytes); returns its length.
std::size_t right_encode(std::uint64_t value, unsigned char* out) {
  const std::size_t n = encode_bytes(0, value, out);
  out[n] = static_cast<unsigned char>(n);
  return n + 1;
}

// left_encode of the length of `size` bytes in bits, which may take 9 value
// bytes: encode_string's prefix.
std::size_t left_encode_bits(std::size_t size, unsigned char* out) {
  const auto bytes = static_cast<std::uint64_t>(size);
  const std::size_t n = encode_bytes(bytes >> 61, bytes << 3, out + 1);
  out[0] = static_cast<unsigned char>(n);
  return n + 1;
}

void absorb(keccak::SpongeInstance* sponge, const unsigned char* data, std::size_t size) {
  // Refused only once squeezing, which these sponges never are here.
  keccak::SpongeAbsorb(sponge, data, size);
}

void absorb_encoded_string(keccak::SpongeInstance* sponge, ByteSpan text) {
  unsigned char prefix[10];
  absorb(sponge, prefix, left_encode_bits(text.size(), prefix));
  absorb(sponge, text.data(), text.size());
}

// Ends bytepad(): zeros up to the next multiple of the rate. The sponge was
// fresh when bytepad began, so its position in the block is the count of
// bytes so far modulo the rate; on a block boundary nothing is added.
void absorb_bytepad_zeros(keccak::SpongeInstance* sponge) {
  static constexpr unsigned char kZeros[168] = {};
  const unsigned int block = sponge->rate / 8;
  if (sponge->byteIOIndex != 0) absorb(sponge, kZeros, block - sponge->byteIOIndex);
}

void absorb_bytepad_start(keccak::SpongeInstance* sponge) {
  unsigned char w[10];
  absorb(sponge, w, left_encode(sponge->rate / 8, w));
}

detail::LeafShape leaf_shape(unsigned int bits, std::size_t block_size) {
  // A block's chaining value is cSHAKE(block, 2 * bits, "", ""), which is
  // SHAKE.
  const detail::HashAlgorithm& shake = bits == 256 ? detail::kShake256 : detail::kShake128;
  return {shake.rate, shake.rounds, shake.suffix, block_size, shake.output};
}

}  // namespace

// ----------------------------------------------------------------------------
// Streams
// ----------------------------------------------------------------------------

namespace detail {

CshakeStream::CshakeStream(unsigned int bits, ByteSpan function_name, ByteSpan customization)
    : suffix_(function_name.empty() && customization.empty() ? kShakeSuffix : kCshakeSuffix) {
  init_sponge(&sponge_, rate_for(bits), kShake128.rounds);
  if (suffix_ == kCshakeSuffix) {
    absorb_bytepad_start(&sponge_);
    absorb_encoded_string(&sponge_, function_name);
    absorb_encoded_string(&sponge_, customization);
    absorb_bytepad_zeros(&sponge_);
  }
  start_ = sponge_;
}

void CshakeStream::absorb_key(ByteSpan key) noexcept {
  absorb_bytepad_start(&sponge_);
  absorb_encoded_string(&sponge_, key);
  absorb_bytepad_zeros(&sponge_);
  start_ = sponge_;
}

void CshakeStream::update(ByteSpan data) noexcept { absorb(&sponge_, data.data(), data.size()); }

void CshakeStream::update_encoded(ByteSpan element) noexcept {
  absorb_encoded_string(&sponge_, element);
}

XofReader CshakeStream::finalize() const noexcept {
  keccak::SpongeInstance padded = sponge_;
  keccak::SpongeAbsorbLastFewBits(&padded, suffix_);
  return XofReader(padded);
}

XofReader CshakeStream::finalize_with_length(std::uint64_t output_bits) const noexcept {
  keccak::SpongeInstance padded = sponge_;
  unsigned char encoded[10];
  absorb(&padded, encoded, right_encode(output_bits, encoded));
  keccak::SpongeAbsorbLastFewBits(&padded, suffix_);
  return XofReader(padded);
}

void CshakeStream::reset() noexcept { sponge_ = start_; }

ParallelHashStream::ParallelHashStream(unsigned int bits, std::size_t block_size,
                                       ByteSpan customization, util::ThreadPool* pool)
    : outer_(bits, kParallelHashName, customization),
      block_size_(block_size),
      pool_(pool),
      bits_(bits == 256 ? 256 : 128) {
  if (block_size == 0) throw Error("Invalid ParallelHash block size: 0");
  unsigned char encoded[10];
  absorb(&outer_.sponge_, encoded, left_encode(block_size, encoded));
  outer_.start_ = outer_.sponge_;
}

void ParallelHashStream::update(ByteSpan data) {
  feed_leaves(leaf_shape(bits_, block_size_), {&outer_.sponge_, &blocks_, &leaf_, &leaf_fill_},
              data.data(), data.size(), pool_);
}

XofReader ParallelHashStream::finalize_with_length(std::uint64_t output_bits) const noexcept {
  CshakeStream outer = outer_;
  std::uint64_t blocks = blocks_;
  keccak::SpongeInstance leaf = leaf_;
  std::size_t leaf_fill = leaf_fill_;
  close_leaf(leaf_shape(bits_, block_size_), {&outer.sponge_, &blocks, &leaf, &leaf_fill});
  unsigned char encoded[10];
  absorb(&outer.sponge_, encoded, right_encode(blocks, encoded));
  return outer.finalize_with_length(output_bits);
}

void ParallelHashStream::reset() noexcept {
  outer_.reset();
  blocks_ = 0;
  leaf_fill_ = 0;
}

}  // namespace detail

// ----------------------------------------------------------------------------
// One-shot functions
// ----------------------------------------------------------------------------

namespace {

void cshake(unsigned int bits, ByteSpan input, ByteSpan function_name, ByteSpan customization,
            tamu::span<unsigned char> output) {
  detail::CshakeStream stream(bits, function_name, customization);
  stream.update(input);
  stream.finalize().read(output);
}

void kmac(unsigned int bits, bool xof, ByteSpan key, ByteSpan input, ByteSpan customization,
          tamu::span<unsigned char> output) {
  static constexpr unsigned char kName[4] = {'K', 'M', 'A', 'C'};
  detail::CshakeStream stream(bits, kName, customization);
  stream.absorb_key(key);
  stream.update(input);
  stream.finalize_with_length(xof ? 0 : std::uint64_t{output.size()} * 8).read(output);
}

void tuple_hash(unsigned int bits, bool xof, tamu::span<const ByteSpan> tuple,
                ByteSpan customization, tamu::span<unsigned char> output) {
  static constexpr unsigned char kName[9] = {'T', 'u', 'p', 'l', 'e', 'H', 'a', 's', 'h'};
  detail::CshakeStream stream(bits, kName, customization);
  for (ByteSpan element : tuple) stream.update_encoded(element);
  stream.finalize_with_length(xof ? 0 : std::uint64_t{output.size()} * 8).read(output);
}

void parallel_hash(unsigned int bits, bool xof, ByteSpan input, std::size_t block_size,
                   ByteSpan customization, tamu::span<unsigned char> output,
                   util::ThreadPool* pool) {
  detail::ParallelHashStream stream(bits, block_size, customization, pool);
  stream.update(input);
  stream.finalize_with_length(xof ? 0 : std::uint64_t{output.size()} * 8).read(output);
}

}  // namespace

void cshake_128(ByteSpan input, ByteSpan function_name, ByteSpan customization,
                tamu::span<unsigned char> output) {
  cshake(128, input, function_name, customization, output);
}

void cshake_256(ByteSpan input, ByteSpan function_name, ByteSpan customization,
                tamu::span<unsigned char> output) {
  cshake(256, input, function_name, customization, output);
}

void kmac_128(ByteSpan key, ByteSpan input, ByteSpan customization,
              tamu::span<unsigned char> output) {
  kmac(128, false, key, input, customization, output);
}

void kmac_256(ByteSpan key, ByteSpan input, ByteSpan customization,
              tamu::span<unsigned char> output) {
  kmac(256, false, key, input, customization, output);
}

void kmac_xof_128(ByteSpan key, ByteSpan input, ByteSpan customization,
                  tamu::span<unsigned char> output) {
  kmac(128, true, key, input, customization, output);
}

void kmac_xof_256(ByteSpan key, ByteSpan input, ByteSpan customization,
                  tamu::span<unsigned char> output) {
  kmac(256, true, key, input, customization, output);
}

void tuple_hash_128(tamu::span<const ByteSpan> tuple, ByteSpan customization,
                    tamu::span<unsigned char> output) {
  tuple_hash(128, false, tuple, customization, output);
}

void tuple_hash_256(tamu::span<const ByteSpan> tuple, ByteSpan customization,
                    tamu::span<unsigned char> output) {
  tuple_hash(256, false, tuple, customization, output);
}

void tuple_hash_xof_128(tamu::span<const ByteSpan> tuple, ByteSpan customization,
                        tamu::span<unsigned char> output) {
  tuple_hash(128, true, tuple, customization, output);
}

void tuple_hash_xof_256(tamu::span<const ByteSpan> tuple, ByteSpan customization,
                        tamu::span<unsigned char> output) {
  tuple_hash(256, true, tuple, customization, output);
}

void parallel_hash_128(ByteSpan input, std::size_t block_size, ByteSpan customization,
                       tamu::span<unsigned char> output, util::ThreadPool* pool) {
  parallel_hash(128, false, input, block_size, customization, output, pool);
}

void parallel_hash_256(ByteSpan input, std::size_t block_size, ByteSpan customization,
                       tamu::span<unsigned char> output, util::ThreadPool* pool) {
  parallel_hash(256, false, input, block_size, customization, output, pool);
}

void parallel_hash_xof_128(ByteSpan input, std::size_t block_size, ByteSpan customization,
                           tamu::span<unsigned char> output, util::ThreadPool* pool) {
  parallel_hash(128, true, input, block_size, customization, output, pool);
}

void parallel_hash_xof_256(ByteSpan input, std::size_t block_size, ByteSpan customization,
                           tamu::span<unsigned char> output, util::ThreadPool* pool) {
  parallel_hash(256, true, input, block_size, customization, output, pool);
}

}  // namespace vexo
