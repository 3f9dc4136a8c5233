// SHA-3, SHAKE and Keccak-256 on the sponge of keccak.hpp: the one-shot functions and the
// single-lane streaming objects.
#include "vexo/util/sha3.hpp"

#include "sponge.hpp"
#include "vexo/util/keccak.hpp"

namespace vexo {

namespace {

constexpr char kHashFailed[] = "Unable to calculate SHA3 hash";

// The 2.0 functions' bool (sponge.hpp).
bool sponge(const detail::HashAlgorithm& a, tamu::span<const unsigned char> input,
            unsigned char* output, std::size_t output_size) {
  return detail::sponge_accepted(a, input, output, output_size);
}

// The array form of a digest function: the digest of `input` by the span
// form `hash`, or vexo::Error if that reports failure.
template <std::size_t N>
std::array<unsigned char, N> digest_or_throw(tamu::span<const unsigned char> input,
                                             bool (*hash)(tamu::span<const unsigned char>,
                                                          tamu::span<unsigned char, N>)) {
  std::array<unsigned char, N> result;
  if (!hash(input, tamu::span<unsigned char, N>(result))) {
    throw Error(kHashFailed);
  }
  return result;
}

}  // namespace

bool shake_128(tamu::span<const unsigned char> input, tamu::span<unsigned char> output) {
  return sponge(detail::kShake128, input, output.data(), output.size());
}

bool shake_256(tamu::span<const unsigned char> input, tamu::span<unsigned char> output) {
  return sponge(detail::kShake256, input, output.data(), output.size());
}

bool sha3_224(tamu::span<const unsigned char> input, tamu::span<unsigned char, 28> output) {
  return sponge(detail::kSha3_224, input, output.data(), output.size());
}

std::array<unsigned char, 28> sha3_224(tamu::span<const unsigned char> input) {
  return digest_or_throw<28>(input, sha3_224);
}

bool sha3_256(tamu::span<const unsigned char> input, tamu::span<unsigned char, 32> output) {
  return sponge(detail::kSha3_256, input, output.data(), output.size());
}

std::array<unsigned char, 32> sha3_256(tamu::span<const unsigned char> input) {
  return digest_or_throw<32>(input, sha3_256);
}

bool sha3_384(tamu::span<const unsigned char> input, tamu::span<unsigned char, 48> output) {
  return sponge(detail::kSha3_384, input, output.data(), output.size());
}

std::array<unsigned char, 48> sha3_384(tamu::span<const unsigned char> input) {
  return digest_or_throw<48>(input, sha3_384);
}

bool sha3_512(tamu::span<const unsigned char> input, tamu::span<unsigned char, 64> output) {
  return sponge(detail::kSha3_512, input, output.data(), output.size());
}

std::array<unsigned char, 64> sha3_512(tamu::span<const unsigned char> input) {
  return digest_or_throw<64>(input, sha3_512);
}

bool keccak_256(tamu::span<const unsigned char> input, tamu::span<unsigned char, 32> output) {
  return sponge(detail::kKeccak256, input, output.data(), output.size());
}

std::array<unsigned char, 32> keccak_256(tamu::span<const unsigned char> input) {
  return digest_or_throw<32>(input, keccak_256);
}

std::string to_hex(tamu::span<const unsigned char> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(2 * bytes.size(), '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return text;
}

// ----------------------------------------------------------------------------
// Streaming objects
// ----------------------------------------------------------------------------

void XofReader::read(tamu::span<unsigned char> output) noexcept {
  keccak::SpongeSqueeze(&sponge_, output.data(), output.size());
}

namespace detail {

SpongeStream::SpongeStream(unsigned int rate, unsigned int nrounds, unsigned char suffix)
    : suffix_(suffix) {
  if (keccak::SpongeInitialize_Nrounds(&sponge_, rate, 1600 - rate, nrounds) != 0 || suffix == 0) {
    throw Error(kHashFailed);
  }
}

void SpongeStream::update(tamu::span<const unsigned char> data) noexcept {
  // Refused only once squeezing, which this object never is.
  keccak::SpongeAbsorb(&sponge_, data.data(), data.size());
}

XofReader SpongeStream::finalize() const noexcept {
  keccak::SpongeInstance padded = sponge_;
  keccak::SpongeAbsorbLastFewBits(&padded, suffix_);
  return XofReader(padded);
}

void SpongeStream::reset() noexcept {
  // Same parameters as the constructor's, which were accepted there.
  init_sponge(&sponge_, sponge_.rate, sponge_.nrounds);
}

}  // namespace detail

}  // namespace vexo
