// Four SHAKE or TurboSHAKE sponges side by side on the interleaved four-state
// permutation: the engine behind shake_128_x4, Shake128x4 and their
// TurboSHAKE forms.
//
// Each lane is an ordinary sponge of FIPS 202 (or RFC 9861): the lanes only
// share the permutation calls. While every lane is at the end of a block, one
// four-state permutation serves them all; a lane that must move on while
// another is in the middle of a block (inputs or reads of different lengths)
// is taken out, permuted on the one-state code and put back, so that the
// others keep their place.
#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>

#include "keccak_impl.hpp"
#include "sponge.hpp"
#include "vexo/util/exceptions.hpp"
#include "vexo/util/k12.hpp"
#include "vexo/util/sha3.hpp"

namespace vexo {

namespace {

using Lane = std::uint64_t;
constexpr unsigned int kLanes = 4;

// The lanes of the state are kept as numbers; their bytes, in the byte order
// of FIPS 202 (least significant first), are read and written here.
Lane load_le(const unsigned char* p) {
  Lane v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

void store_le(unsigned char* p, Lane v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, sizeof v);
}

// Word `i` of sponge `j` in the interleaved states.
Lane& word(Lane* lanes, unsigned int j, std::size_t i) { return lanes[kLanes * i + j]; }

// XORs the `n` bytes at `data` into bytes at .. at + n of sponge `j`.
void add_bytes(Lane* lanes, unsigned int j, std::size_t at, const unsigned char* data,
               std::size_t n) {
  for (; n > 0 && at % 8 != 0; ++at, ++data, --n) {
    word(lanes, j, at / 8) ^= Lane{*data} << (8 * (at % 8));
  }
  for (; n >= 8; at += 8, data += 8, n -= 8) word(lanes, j, at / 8) ^= load_le(data);
  for (; n > 0; ++at, ++data, --n) word(lanes, j, at / 8) ^= Lane{*data} << (8 * (at % 8));
}

// Copies bytes at .. at + n of sponge `j` to `out`.
void extract_bytes(const Lane* lanes, unsigned int j, std::size_t at, unsigned char* out,
                   std::size_t n) {
  for (; n > 0 && at % 8 != 0; ++at, ++out, --n) {
    *out = static_cast<unsigned char>(lanes[kLanes * (at / 8) + j] >> (8 * (at % 8)));
  }
  for (; n >= 8; at += 8, out += 8, n -= 8) store_le(out, lanes[kLanes * (at / 8) + j]);
  for (; n > 0; ++at, ++out, --n) {
    *out = static_cast<unsigned char>(lanes[kLanes * (at / 8) + j] >> (8 * (at % 8)));
  }
}

// Sponge `j` taken out of the interleaved states as a one-state block (the
// byte view of keccak.hpp), and put back.
struct OneState {
  OneState(const Lane* lanes, unsigned int j) {
    unsigned char bytes[keccak::state_size];
    for (std::size_t i = 0; i < 25; ++i) store_le(bytes + 8 * i, lanes[kLanes * i + j]);
    keccak::KeccakP1600_OverwriteLanes(state, bytes, 25);
  }
  void put_back(Lane* lanes, unsigned int j) const {
    unsigned char bytes[keccak::state_size];
    keccak::KeccakP1600_ExtractLanes(state, bytes, 25);
    for (std::size_t i = 0; i < 25; ++i) word(lanes, j, i) = load_le(bytes + 8 * i);
  }
  void permute(unsigned int first_round) {
    if (first_round == 0) {
      keccak::KeccakP1600_Permute_24rounds(state);
    } else {
      keccak::KeccakP1600_Permute_12rounds(state);
    }
  }
  alignas(keccak::state_alignment) unsigned char state[keccak::state_size];
};

}  // namespace

namespace detail {

SpongeX4::SpongeX4(unsigned int rate, unsigned int rounds, unsigned char suffix) noexcept
    : block_(static_cast<std::uint16_t>(rate / 8)),
      first_round_(static_cast<std::uint8_t>(24 - rounds)),
      suffix_(suffix) {
  assert(rate % 64 == 0 && rate < 1600 && (rounds == 12 || rounds == 24) && suffix != 0 &&
         suffix < 0x80);
  reset();
}

void SpongeX4::reset() noexcept {
  std::fill(std::begin(lanes_), std::end(lanes_), Lane{0});
  std::fill(std::begin(pos_), std::end(pos_), std::uint16_t{0});
  squeezing_ = false;
}

void SpongeX4::permute_all() noexcept {
  keccak::impl::KeccakP1600_GetForms().permuteAll(lanes_, first_round_);
  std::fill(std::begin(pos_), std::end(pos_), std::uint16_t{0});
}

void SpongeX4::absorb(const Inputs& inputs) {
  if (squeezing_) throw Error("Cannot absorb after squeezing; call reset() first");
  const unsigned char* data[kLanes];
  std::size_t left[kLanes];
  for (unsigned int j = 0; j < kLanes; ++j) {
    data[j] = inputs[j].data();
    left[j] = inputs[j].size();
  }
  for (;;) {
    bool all_full = true;
    for (unsigned int j = 0; j < kLanes; ++j) {
      const std::size_t take = std::min<std::size_t>(left[j], block_ - pos_[j]);
      add_bytes(lanes_, j, pos_[j], data[j], take);
      pos_[j] = static_cast<std::uint16_t>(pos_[j] + take);
      data[j] += take;
      left[j] -= take;
      all_full = all_full && pos_[j] == block_;
    }
    if (!all_full) break;
    // A full block in every lane: one permutation for the four. A full
    // block with no more input waits here, so that the lanes stay together.
    if (left[0] + left[1] + left[2] + left[3] == 0) return;
    permute_all();
  }
  // Some lane is inside a block with its input used up; a lane whose block
  // is full and that has more input goes on alone.
  for (unsigned int j = 0; j < kLanes; ++j) {
    if (left[j] == 0) continue;
    assert(pos_[j] == block_);
    OneState one(lanes_, j);
    one.permute(first_round_);
    const std::size_t whole = first_round_ == 0 ? keccak::KeccakF1600_FastLoop_Absorb(
                                                      one.state, block_ / 8u, data[j], left[j])
                                                : keccak::KeccakP1600_12rounds_FastLoop_Absorb(
                                                      one.state, block_ / 8u, data[j], left[j]);
    one.put_back(lanes_, j);
    add_bytes(lanes_, j, 0, data[j] + whole, left[j] - whole);
    pos_[j] = static_cast<std::uint16_t>(left[j] - whole);
  }
}

void SpongeX4::pad() noexcept {
  // A lane that ended on a full block absorbs it first.
  if (pos_[0] == block_ && pos_[1] == block_ && pos_[2] == block_ && pos_[3] == block_) {
    permute_all();
  }
  for (unsigned int j = 0; j < kLanes; ++j) {
    if (pos_[j] == block_) {
      OneState one(lanes_, j);
      one.permute(first_round_);
      one.put_back(lanes_, j);
      pos_[j] = 0;
    }
    word(lanes_, j, pos_[j] / 8u) ^= Lane{suffix_} << (8 * (pos_[j] % 8));
    word(lanes_, j, (block_ - 1u) / 8) ^= Lane{0x80} << (8 * ((block_ - 1u) % 8));
  }
  permute_all();
  squeezing_ = true;
}

void SpongeX4::squeeze(const Outputs& outputs) noexcept {
  if (!squeezing_) pad();
  unsigned char* out[kLanes];
  std::size_t left[kLanes];
  for (unsigned int j = 0; j < kLanes; ++j) {
    out[j] = outputs[j].data();
    left[j] = outputs[j].size();
  }
  for (;;) {
    bool all_used = true;
    for (unsigned int j = 0; j < kLanes; ++j) {
      const std::size_t take = std::min<std::size_t>(left[j], block_ - pos_[j]);
      extract_bytes(lanes_, j, pos_[j], out[j], take);
      pos_[j] = static_cast<std::uint16_t>(pos_[j] + take);
      out[j] += take;
      left[j] -= take;
      all_used = all_used && pos_[j] == block_;
    }
    if (left[0] + left[1] + left[2] + left[3] == 0) return;
    if (!all_used) break;
    permute_all();
  }
  // A lane that wants more while another is inside a block goes on alone.
  for (unsigned int j = 0; j < kLanes; ++j) {
    if (left[j] == 0) continue;
    OneState one(lanes_, j);
    std::size_t take = 0;
    for (; left[j] > 0; out[j] += take, left[j] -= take) {
      one.permute(first_round_);
      take = std::min<std::size_t>(left[j], block_);
      keccak::KeccakP1600_ExtractBytes(one.state, out[j], 0, static_cast<unsigned int>(take));
    }
    one.put_back(lanes_, j);
    pos_[j] = static_cast<std::uint16_t>(take);
  }
}

}  // namespace detail

// ----------------------------------------------------------------------------
// One-shot functions
// ----------------------------------------------------------------------------

namespace {

void run_x4(const detail::HashAlgorithm& a, unsigned char suffix,
            const detail::SpongeX4::Inputs& inputs, const detail::SpongeX4::Outputs& outputs) {
  if (keccak::impl::KeccakP1600_GetForms().permuteAll ==
      &keccak::impl::KeccakP1600times4_PermuteAll_Portable) {
    // Without a vector form the four permutations run one after another
    // anyway: four one-lane sponges save the interleaving (about 5% fewer
    // instructions), so that this is never slower than four one-lane calls.
    for (std::size_t j = 0; j < kLanes; ++j) {
      keccak::SpongeInstance one;
      detail::init_sponge(&one, a.rate, a.rounds);
      keccak::SpongeAbsorb(&one, inputs[j].data(), inputs[j].size());
      detail::finish_sponge(one, suffix, outputs[j].data(), outputs[j].size());
    }
    return;
  }
  detail::SpongeX4 sponge(a.rate, a.rounds, suffix);
  sponge.absorb(inputs);
  sponge.squeeze(outputs);
}

}  // namespace

void shake_128_x4(const std::array<tamu::span<const unsigned char>, 4>& inputs,
                  const std::array<tamu::span<unsigned char>, 4>& outputs) {
  run_x4(detail::kShake128, detail::kShake128.suffix, inputs, outputs);
}

void shake_256_x4(const std::array<tamu::span<const unsigned char>, 4>& inputs,
                  const std::array<tamu::span<unsigned char>, 4>& outputs) {
  run_x4(detail::kShake256, detail::kShake256.suffix, inputs, outputs);
}

void turboshake_128_x4(const std::array<tamu::span<const unsigned char>, 4>& inputs,
                       unsigned char domain,
                       const std::array<tamu::span<unsigned char>, 4>& outputs) {
  run_x4(detail::kTurboShake128, detail::checked_turboshake_domain(domain), inputs, outputs);
}

void turboshake_256_x4(const std::array<tamu::span<const unsigned char>, 4>& inputs,
                       unsigned char domain,
                       const std::array<tamu::span<unsigned char>, 4>& outputs) {
  run_x4(detail::kTurboShake256, detail::checked_turboshake_domain(domain), inputs, outputs);
}

}  // namespace vexo
