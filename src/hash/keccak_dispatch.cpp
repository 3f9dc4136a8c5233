// The one place that picks the Keccak-p[1600] code for this CPU, for the
// one-state and the four-state permutations together, and the four-state
// entry points that run the form picked.
// NOLINTBEGIN(readability-identifier-naming)
#include <cstdlib>
#include <cstring>

#include "keccak_impl.hpp"
#include "vexo/util/keccak.hpp"

namespace vexo::keccak {

namespace impl {

namespace {

// The forms of each level, slowest first.
constexpr KeccakP1600_Forms KeccakP1600_PortableForms{"portable",
                                                      &KeccakP1600_Rounds_Generic,
                                                      &KeccakP1600_FastLoop24_Generic,
                                                      &KeccakP1600_FastLoop12_Generic,
                                                      &KeccakP1600times4_PermuteAll_Portable,
                                                      &KeccakP1600times4_FastLoop_Portable};
#if defined(VEXO_KECCAK_X86_FORMS)
constexpr KeccakP1600_Forms KeccakP1600_Avx2Forms{"avx2",
                                                  &KeccakP1600_Rounds_Avx2,
                                                  &KeccakP1600_FastLoop24_Avx2,
                                                  &KeccakP1600_FastLoop12_Avx2,
                                                  &KeccakP1600times4_PermuteAll_Avx2,
                                                  &KeccakP1600times4_FastLoop_Avx2};
constexpr KeccakP1600_Forms KeccakP1600_Avx512Forms{"avx512",
                                                    &KeccakP1600_Rounds_Avx2,
                                                    &KeccakP1600_FastLoop24_Avx2,
                                                    &KeccakP1600_FastLoop12_Avx2,
                                                    &KeccakP1600times4_PermuteAll_Avx512,
                                                    &KeccakP1600times4_FastLoop_Avx512};
#endif

// Picks the fastest level the CPU runs, capped by VEXO_KECCAK (or, when that
// is unset, by its 2.0 name VEXO_KECCAK_TIMES4): "portable" or "avx2".
const KeccakP1600_Forms& KeccakP1600_ChooseForms() {
  const char* cap = std::getenv("VEXO_KECCAK");
  if (cap == nullptr) cap = std::getenv("VEXO_KECCAK_TIMES4");
  if (cap != nullptr && std::strcmp(cap, "portable") == 0) {
    return KeccakP1600_PortableForms;
  }
#if defined(VEXO_KECCAK_X86_FORMS)
  // The dispatcher is ordinary code that runs at the first hash, not an ifunc
  // resolver, so sanitizer runtimes are set up by then.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") == 0 || __builtin_cpu_supports("bmi") == 0 ||
      __builtin_cpu_supports("bmi2") == 0 || __builtin_cpu_supports("fma") == 0) {
    return KeccakP1600_PortableForms;
  }
  if ((cap != nullptr && std::strcmp(cap, "avx2") == 0) || __builtin_cpu_supports("avx512f") == 0 ||
      __builtin_cpu_supports("avx512vl") == 0) {
    return KeccakP1600_Avx2Forms;
  }
  return KeccakP1600_Avx512Forms;
#else
  return KeccakP1600_PortableForms;
#endif
}

}  // namespace

const KeccakP1600_Forms& KeccakP1600_GetForms() {
  static const KeccakP1600_Forms& forms = KeccakP1600_ChooseForms();
  return forms;
}

}  // namespace impl

using namespace impl;

const char* KeccakP1600_GetImplementation() { return KeccakP1600_GetForms().name; }

const char* KeccakP1600times4_GetImplementation() { return KeccakP1600_GetForms().name; }

void KeccakP1600times4_InitializeAll(void* states) { std::memset(states, 0, states4_size); }

void KeccakP1600times4_AddLanesAll(void* states, const unsigned char* data, unsigned int laneCount,
                                   unsigned int laneOffset) {
  // Whole words XORed in memory order: the same bytes in either byte order.
  auto* lanes = static_cast<tKeccakLane*>(states);
  for (unsigned int j = 0; j < 4; ++j) {
    const unsigned char* in = data + std::size_t{8} * laneOffset * j;
    for (unsigned int i = 0; i < laneCount; ++i) {
      tKeccakLane lane;
      std::memcpy(&lane, in + std::size_t{8} * i, 8);
      lanes[4 * i + j] ^= lane;
    }
  }
}

void KeccakP1600times4_ExtractLanesAll(const void* states, unsigned char* data,
                                       unsigned int laneCount, unsigned int laneOffset) {
  const auto* lanes = static_cast<const tKeccakLane*>(states);
  for (unsigned int j = 0; j < 4; ++j) {
    unsigned char* out = data + std::size_t{8} * laneOffset * j;
    for (unsigned int i = 0; i < laneCount; ++i) {
      std::memcpy(out + std::size_t{8} * i, &lanes[4 * i + j], 8);
    }
  }
}

void KeccakP1600times4_PermuteAll_12rounds(void* states) {
  KeccakP1600_GetForms().permuteAll(states, 12);
}

void KeccakP1600times4_PermuteAll_24rounds(void* states) {
  KeccakP1600_GetForms().permuteAll(states, 0);
}

std::size_t KeccakP1600times4_12rounds_FastLoop_Absorb(void* states, unsigned int laneCount,
                                                       unsigned int laneOffsetParallel,
                                                       const unsigned char* data,
                                                       std::size_t dataByteLen) {
  return KeccakP1600_GetForms().fastLoopAll(states, laneCount, laneOffsetParallel, data,
                                            dataByteLen, 12);
}

}  // namespace vexo::keccak
// NOLINTEND(readability-identifier-naming)
