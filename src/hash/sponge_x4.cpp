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

// The interleaved states are kept as keccak.hpp's byte view on every host:
// word 4i + j holds the 8 bytes of lane i of sponge j, little-endian, in
// memory. So bytes are XORed and copied in memory order and whole words
// memory to memory, which needs no byte swap in either byte order.

// Byte `at` of sponge `j` (0 to 199).
unsigned char* byte_at(Lane* lanes, unsigned int j, std::size_t at) {
  return reinterpret_cast<unsigned char*>(lanes + kLanes * (at / 8) + j) + at % 8;
}
const unsigned char* byte_at(const Lane* lanes, unsigned int j, std::size_t at) {
  return reinterpret_cast<const unsigned char*>(lanes + kLanes * (at / 8) + j) + at % 8;
}

// XORs the `n` bytes at `data` into bytes at .. at + n of sponge `j`.
void add_bytes(Lane* lanes, unsigned int j, std::size_t at, const unsigned char* data,
               std::size_t n) {
  for (; n > 0 && at % 8 != 0; ++at, ++data, --n) *byte_at(lanes, j, at) ^= *data;
  // Whole words: a stride of four words, one per sponge.
  Lane* word = lanes + kLanes * (at / 8) + j;
  const std::size_t words = n / 8;
  for (std::size_t w = 0; w < words; ++w, word += kLanes, data += 8) {
    Lane in;
    std::memcpy(&in, data, sizeof in);
    *word ^= in;
  }
  at += 8 * words;
  n -= 8 * words;
  for (; n > 0; ++at, ++data, --n) *byte_at(lanes, j, at) ^= *data;
}

// Copies bytes at .. at + n of sponge `j` to `out`.
void extract_bytes(const Lane* lanes, unsigned int j, std::size_t at, unsigned char* out,
                   std::size_t n) {
  for (; n > 0 && at % 8 != 0; ++at, ++out, --n) *out = *byte_at(lanes, j, at);
  const Lane* word = lanes + kLanes * (at / 8) + j;
  const std::size_t words = n / 8;
  for (std::size_t w = 0; w < words; ++w, word += kLanes, out += 8) std::memcpy(out, word, 8);
  at += 8 * words;
  n -= 8 * words;
  for (; n > 0; ++at, ++out, --n) *out = *byte_at(lanes, j, at);
}

// Moves the next bytes of every lane between its block and its data with
// `move` (add_bytes or extract_bytes): as many as lane j has `left` and its
// block has room for, from `pos[j]` on, advancing `at[j]`. Returns whether
// every lane's block is used up.
template <typename Data, typename Move>
bool each_lane(Lane* lanes, std::uint16_t* pos, std::size_t block, Data** at, std::size_t* left,
               Move move) {
  bool all_used = true;
  for (unsigned int j = 0; j < kLanes; ++j) {
    const std::size_t take = std::min<std::size_t>(left[j], block - pos[j]);
    move(lanes, j, pos[j], at[j], take);
    pos[j] = static_cast<std::uint16_t>(pos[j] + take);
    at[j] += take;
    left[j] -= take;
    all_used = all_used && pos[j] == block;
  }
  return all_used;
}

// When every lane is at the start of a block and wants all of it, copies
// the whole block of each sponge to out[j] row by row (a row's four words
// are next to each other), advances `out`, `left` and `pos` as each_lane
// would, and returns true; otherwise does nothing and returns false.
bool extract_whole_blocks(const Lane* lanes, std::uint16_t* pos, std::size_t block,
                          unsigned char** out, std::size_t* left) {
  for (unsigned int j = 0; j < kLanes; ++j) {
    if (pos[j] != 0 || left[j] < block) return false;
  }
  // Two rows at a time as pairs of words, which the compiler keeps in
  // 128-bit registers: rows i and i + 1 give each sponge its words i and
  // i + 1 with one shuffle. The rate is an odd number of words.
  using Pair = Lane __attribute__((vector_size(16)));
  unsigned char* const to[kLanes] = {out[0], out[1], out[2], out[3]};
  const std::size_t words = block / 8;
  std::size_t i = 0;
  for (; i + 2 <= words; i += 2) {
    // Sponges 0-1 and 2-3 of row i, then of row i + 1.
    Pair row01;
    Pair row23;
    Pair next01;
    Pair next23;
    std::memcpy(&row01, lanes + kLanes * i, sizeof row01);
    std::memcpy(&row23, lanes + kLanes * i + 2, sizeof row23);
    std::memcpy(&next01, lanes + kLanes * i + 4, sizeof next01);
    std::memcpy(&next23, lanes + kLanes * i + 6, sizeof next23);
    const Pair to0 = __builtin_shufflevector(row01, next01, 0, 2);
    const Pair to1 = __builtin_shufflevector(row01, next01, 1, 3);
    const Pair to2 = __builtin_shufflevector(row23, next23, 0, 2);
    const Pair to3 = __builtin_shufflevector(row23, next23, 1, 3);
    std::memcpy(to[0] + 8 * i, &to0, sizeof to0);
    std::memcpy(to[1] + 8 * i, &to1, sizeof to1);
    std::memcpy(to[2] + 8 * i, &to2, sizeof to2);
    std::memcpy(to[3] + 8 * i, &to3, sizeof to3);
  }
  for (; i < words; ++i) {
    for (unsigned int j = 0; j < kLanes; ++j) std::memcpy(to[j] + 8 * i, lanes + kLanes * i + j, 8);
  }
  for (unsigned int j = 0; j < kLanes; ++j) {
    out[j] += block;
    left[j] -= block;
    pos[j] = static_cast<std::uint16_t>(block);
  }
  return true;
}

// Sponge `j` taken out of the interleaved states as a one-state block, and
// put back: its words are copied as they are, both sides being byte views.
struct OneState {
  OneState(const Lane* lanes, unsigned int j) {
    for (std::size_t i = 0; i < 25; ++i) std::memcpy(state + 8 * i, lanes + kLanes * i + j, 8);
  }
  void put_back(Lane* lanes, unsigned int j) const {
    for (std::size_t i = 0; i < 25; ++i) std::memcpy(lanes + kLanes * i + j, state + 8 * i, 8);
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
    if (!each_lane(lanes_, pos_, block_, data, left, add_bytes)) break;
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
    *byte_at(lanes_, j, pos_[j]) ^= suffix_;
    *byte_at(lanes_, j, block_ - 1u) ^= 0x80;
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
    const bool all_used = extract_whole_blocks(lanes_, pos_, block_, out, left) ||
                          each_lane(lanes_, pos_, block_, out, left, extract_bytes);
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
