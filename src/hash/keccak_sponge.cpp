// The sponge construction of FIPS 202 on Keccak-p[1600]: one-shot, and
// absorbing and squeezing in any split over calls.
// NOLINTBEGIN(readability-identifier-naming)
#include <cstddef>

#include "vexo/util/keccak.hpp"

namespace vexo::keccak {

namespace {

constexpr unsigned int SnP_width = 1600;

}  // namespace

// nrounds took the tail padding of the structure: its size and the offsets of
// the other members are those of the layout without it.
static_assert(sizeof(SpongeInstance) == 216 && offsetof(SpongeInstance, squeezing) == 208);

namespace {

bool SpongeParametersRefused(unsigned int rate, unsigned int capacity) {
  return rate + capacity != SnP_width || rate == 0 || rate > SnP_width || rate % 8 != 0;
}

}  // namespace

int Sponge(unsigned int rate, unsigned int capacity, const unsigned char* input,
           std::size_t inputByteLen, unsigned char suffix, unsigned char* output,
           std::size_t outputByteLen) {
  if (SpongeParametersRefused(rate, capacity) || suffix == 0) {
    return 1;
  }
  alignas(state_alignment) unsigned char state[state_size];
  KeccakP1600_Initialize(state);
  const unsigned int rateInBytes = rate / 8;

  if (rateInBytes % 8 == 0) {
    const std::size_t absorbed =
        KeccakF1600_FastLoop_Absorb(state, rateInBytes / 8, input, inputByteLen);
    input += absorbed;
    inputByteLen -= absorbed;
  }
  while (inputByteLen >= rateInBytes) {
    KeccakP1600_AddBytes(state, input, 0, rateInBytes);
    KeccakP1600_Permute_24rounds(state);
    input += rateInBytes;
    inputByteLen -= rateInBytes;
  }
  const auto partialBlock = static_cast<unsigned int>(inputByteLen);
  KeccakP1600_AddBytes(state, input, 0, partialBlock);

  KeccakP1600_AddByte(state, suffix, partialBlock);
  if ((suffix & 0x80) != 0 && partialBlock == rateInBytes - 1) {
    KeccakP1600_Permute_24rounds(state);
  }
  KeccakP1600_AddByte(state, 0x80, rateInBytes - 1);
  KeccakP1600_Permute_24rounds(state);

  while (outputByteLen > rateInBytes) {
    KeccakP1600_ExtractBytes(state, output, 0, rateInBytes);
    KeccakP1600_Permute_24rounds(state);
    output += rateInBytes;
    outputByteLen -= rateInBytes;
  }
  KeccakP1600_ExtractBytes(state, output, 0, static_cast<unsigned int>(outputByteLen));
  return 0;
}

namespace {

// The whole-block absorbing loop of a round count, where there is one.
using FastLoopAbsorb = std::size_t (*)(void*, unsigned int, const unsigned char*, std::size_t);

// Runs `body` with the permutation of `instance` as its argument, chosen once
// per call so that the block loops call the unrolled 12- or 24-round
// permutation directly.
template <typename Body>
inline int SpongeWithPermutation(const SpongeInstance* instance, Body body) {
  switch (instance->nrounds) {
    case 24:
      return body([](void* state) { KeccakP1600_Permute_24rounds(state); },
                  &KeccakF1600_FastLoop_Absorb);
    case 12:
      return body([](void* state) { KeccakP1600_Permute_12rounds(state); },
                  &KeccakP1600_12rounds_FastLoop_Absorb);
    default: {
      const unsigned int nrounds = instance->nrounds;
      return body([nrounds](void* state) { KeccakP1600_Permute_Nrounds(state, nrounds); },
                  FastLoopAbsorb{nullptr});
    }
  }
}

// The bytes that the next of `left` bytes fill or take in the current block:
// the rest of the block, or fewer.
unsigned int SpongePartialBlock(unsigned int rateInBytes, const SpongeInstance* instance,
                                std::size_t left) {
  const unsigned int room = rateInBytes - instance->byteIOIndex;
  return left < room ? static_cast<unsigned int>(left) : room;
}

template <typename Permute>
int SpongeAbsorbLastFewBitsWith(SpongeInstance* instance, unsigned char delimitedData,
                                Permute permute) {
  const unsigned int rateInBytes = instance->rate / 8;
  KeccakP1600_AddByte(instance->state, delimitedData, instance->byteIOIndex);
  if ((delimitedData & 0x80) != 0 && instance->byteIOIndex == rateInBytes - 1) {
    permute(instance->state);
  }
  KeccakP1600_AddByte(instance->state, 0x80, rateInBytes - 1);
  permute(instance->state);
  instance->byteIOIndex = 0;
  instance->squeezing = 1;
  return 0;
}

}  // namespace

int SpongeInitialize(SpongeInstance* instance, unsigned int rate, unsigned int capacity) {
  return SpongeInitialize_Nrounds(instance, rate, capacity, 24);
}

int SpongeInitialize_Nrounds(SpongeInstance* instance, unsigned int rate, unsigned int capacity,
                             unsigned int nrounds) {
  if (SpongeParametersRefused(rate, capacity) || nrounds == 0 || nrounds > 24) {
    return 1;
  }
  KeccakP1600_Initialize(instance->state);
  instance->rate = rate;
  instance->byteIOIndex = 0;
  instance->squeezing = 0;
  instance->nrounds = nrounds;
  return 0;
}

int SpongeAbsorb(SpongeInstance* instance, const unsigned char* data, std::size_t dataByteLen) {
  if (instance->squeezing != 0) {
    return 1;
  }
  return SpongeWithPermutation(instance, [&](auto permute, FastLoopAbsorb fastLoop) {
    const unsigned int rateInBytes = instance->rate / 8;
    std::size_t i = 0;
    while (i < dataByteLen) {
      if (instance->byteIOIndex == 0 && dataByteLen - i >= rateInBytes) {
        if (fastLoop != nullptr && rateInBytes % 8 == 0) {
          i += fastLoop(instance->state, rateInBytes / 8, data + i, dataByteLen - i);
        }
        while (dataByteLen - i >= rateInBytes) {
          KeccakP1600_AddBytes(instance->state, data + i, 0, rateInBytes);
          permute(instance->state);
          i += rateInBytes;
        }
      } else {
        const unsigned int partialBlock =
            SpongePartialBlock(rateInBytes, instance, dataByteLen - i);
        KeccakP1600_AddBytes(instance->state, data + i, instance->byteIOIndex, partialBlock);
        instance->byteIOIndex += partialBlock;
        i += partialBlock;
        if (instance->byteIOIndex == rateInBytes) {
          permute(instance->state);
          instance->byteIOIndex = 0;
        }
      }
    }
    return 0;
  });
}

int SpongeAbsorbLastFewBits(SpongeInstance* instance, unsigned char delimitedData) {
  if (delimitedData == 0 || instance->squeezing != 0) {
    return 1;
  }
  return SpongeWithPermutation(instance, [&](auto permute, FastLoopAbsorb) {
    return SpongeAbsorbLastFewBitsWith(instance, delimitedData, permute);
  });
}

int SpongeSqueeze(SpongeInstance* instance, unsigned char* data, std::size_t dataByteLen) {
  return SpongeWithPermutation(instance, [&](auto permute, FastLoopAbsorb) {
    if (instance->squeezing == 0) {
      SpongeAbsorbLastFewBitsWith(instance, 0x01, permute);
    }
    const unsigned int rateInBytes = instance->rate / 8;
    std::size_t i = 0;
    while (i < dataByteLen) {
      if (instance->byteIOIndex == rateInBytes && dataByteLen - i >= rateInBytes) {
        while (dataByteLen - i >= rateInBytes) {
          permute(instance->state);
          KeccakP1600_ExtractBytes(instance->state, data + i, 0, rateInBytes);
          i += rateInBytes;
        }
      } else {
        if (instance->byteIOIndex == rateInBytes) {
          permute(instance->state);
          instance->byteIOIndex = 0;
        }
        const unsigned int partialBlock =
            SpongePartialBlock(rateInBytes, instance, dataByteLen - i);
        KeccakP1600_ExtractBytes(instance->state, data + i, instance->byteIOIndex, partialBlock);
        instance->byteIOIndex += partialBlock;
        i += partialBlock;
      }
    }
    return 0;
  });
}

}  // namespace vexo::keccak
// NOLINTEND(readability-identifier-naming)
