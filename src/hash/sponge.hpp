// Private to the library: the one place where the status codes of the sponge
// layer (keccak.hpp: 0, or 1 for refused parameters) meet the hashing code.
// Every sponge here is set up from the parameters of hash_algorithms.hpp (or
// a tree's leaf shape drawn from it), which the sponge layer accepts, so a
// refusal would be a fault of this library: it is asserted, not reported.
// Results for callers follow the rule at the top of sha3.hpp.
#pragma once

#include <cassert>
#include <cstddef>

#include "tamu/span.hpp"
#include "vexo/util/hash_algorithms.hpp"
#include "vexo/util/keccak.hpp"

namespace vexo::detail {

// Resets `sponge` to an empty sponge of `rate` bits on Keccak-p[1600, rounds].
inline void init_sponge(keccak::SpongeInstance* sponge, unsigned int rate,
                        unsigned int rounds) noexcept {
  [[maybe_unused]] const int status =
      keccak::SpongeInitialize_Nrounds(sponge, rate, 1600 - rate, rounds);
  assert(status == 0);
}

// Pads a copy of `sponge` with the delimited `suffix` and writes its first
// `size` bytes of output to `out`.
inline void finish_sponge(keccak::SpongeInstance sponge, unsigned char suffix, unsigned char* out,
                          std::size_t size) noexcept {
  keccak::SpongeAbsorbLastFewBits(&sponge, suffix);
  keccak::SpongeSqueeze(&sponge, out, size);
}

// Writes `size` bytes of a's sponge output for `input` to `output`, for the
// functions whose 2.0 interface returns bool: returns whether the sponge
// layer accepted the parameters (it does for every 24-round row of the
// table, the only ones that come here).
inline bool sponge_accepted(const HashAlgorithm& a, tamu::span<const unsigned char> input,
                            unsigned char* output, std::size_t size) noexcept {
  return keccak::Sponge(a.rate, a.capacity(), input.data(), input.size(), a.suffix, output, size) ==
         0;
}

}  // namespace vexo::detail
