// The Keccak-p[1600] layer and the sponge, against a textbook model written
// straight from the FIPS 202 algorithms (bit-level padding, (x, y) indexing,
// rc(t) computed per bit), which shares no code or tables with the library.
#include "vexo/util/keccak.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace {

namespace k = vexo::keccak;
using Lane = std::uint64_t;
using vexo::test::Bytes;
using vexo::test::random_bytes;

// ---------------------------------------------------------------------------
// Textbook model
// ---------------------------------------------------------------------------

// FIPS 202 Algorithm 5, for any integer t. Bit i of r is R[i].
bool rc(long t) {
  long m = t % 255;
  if (m < 0) m += 255;
  if (m == 0) return true;
  unsigned r = 1;
  for (long i = 1; i <= m; ++i) {
    r <<= 1;                           // R = 0 || R
    if ((r & 0x100) != 0) r ^= 0x171;  // R[0], R[4], R[5], R[6] ^= R[8]; Trunc8
  }
  return (r & 1) != 0;
}

Lane rotl(Lane v, int n) {
  n %= 64;
  return n == 0 ? v : (v << n) | (v >> (64 - n));
}

// Rnd(A, ir) of FIPS 202 on a[x][y].
void model_round(Lane a[5][5], long ir) {
  Lane c[5], d[5];
  for (int x = 0; x < 5; ++x) c[x] = a[x][0] ^ a[x][1] ^ a[x][2] ^ a[x][3] ^ a[x][4];
  for (int x = 0; x < 5; ++x) d[x] = c[(x + 4) % 5] ^ rotl(c[(x + 1) % 5], 1);
  for (int x = 0; x < 5; ++x)
    for (int y = 0; y < 5; ++y) a[x][y] ^= d[x];
  // rho
  Lane b[5][5];
  b[0][0] = a[0][0];
  int x = 1, y = 0;
  for (int t = 0; t < 24; ++t) {
    b[x][y] = rotl(a[x][y], ((t + 1) * (t + 2) / 2) % 64);
    const int nx = y, ny = (2 * x + 3 * y) % 5;
    x = nx;
    y = ny;
  }
  // pi: A'[x][y] = A[(x + 3y) mod 5][x]
  Lane p[5][5];
  for (x = 0; x < 5; ++x)
    for (y = 0; y < 5; ++y) p[x][y] = b[(x + 3 * y) % 5][x];
  // chi
  for (x = 0; x < 5; ++x)
    for (y = 0; y < 5; ++y) a[x][y] = p[x][y] ^ (~p[(x + 1) % 5][y] & p[(x + 2) % 5][y]);
  // iota
  Lane r = 0;
  for (int j = 0; j <= 6; ++j)
    if (rc(j + 7 * ir)) r |= Lane{1} << ((1 << j) - 1);
  a[0][0] ^= r;
}

// Lane `index` of a state's byte view: its 8 bytes, little-endian (FIPS 202,
// B.1), whatever the byte order of the host.
Lane lane_of(const unsigned char* s, unsigned index) {
  Lane v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | s[8 * index + static_cast<unsigned>(i)];
  return v;
}

// Keccak-p[1600, nr] on 200 bytes.
void model_permute(unsigned char* s, int nr) {
  Lane a[5][5];
  for (int x = 0; x < 5; ++x)
    for (int y = 0; y < 5; ++y) {
      Lane v = 0;
      for (int i = 7; i >= 0; --i) v = (v << 8) | s[8 * (x + 5 * y) + i];
      a[x][y] = v;
    }
  for (long ir = 24 - nr; ir <= 23; ++ir) model_round(a, ir);
  for (int x = 0; x < 5; ++x)
    for (int y = 0; y < 5; ++y)
      for (int i = 0; i < 8; ++i)
        s[8 * (x + 5 * y) + i] = static_cast<unsigned char>(a[x][y] >> (8 * i));
}

// SPONGE[Keccak-f, pad10*1, rate] of the message bits followed by the bits of
// `suffix` below its top 1, done bit by bit.
Bytes model_sponge(unsigned rate, const Bytes& in, unsigned char suffix, std::size_t out_len,
                   int rounds = 24) {
  std::vector<int> bits;
  for (unsigned char c : in)
    for (int i = 0; i < 8; ++i) bits.push_back((c >> i) & 1);
  int top = 7;
  while (((suffix >> top) & 1) == 0) --top;
  for (int i = 0; i < top; ++i) bits.push_back((suffix >> i) & 1);
  bits.push_back(1);
  while ((bits.size() + 1) % rate != 0) bits.push_back(0);
  bits.push_back(1);
  unsigned char s[200] = {};
  for (std::size_t block = 0; block < bits.size(); block += rate) {
    for (unsigned i = 0; i < rate; ++i)
      s[i / 8] = static_cast<unsigned char>(s[i / 8] ^ (bits[block + i] << (i % 8)));
    model_permute(s, rounds);
  }
  Bytes out;
  while (true) {
    for (unsigned i = 0; i < rate / 8 && out.size() < out_len; ++i) out.push_back(s[i]);
    if (out.size() == out_len) return out;
    model_permute(s, rounds);
  }
}

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

// A 200-byte state that ends where an inaccessible page begins, so that any
// access past its end faults in every build, not only under ASan.
class GuardedState {
 public:
  GuardedState() {
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* p = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    base_ = static_cast<unsigned char*>(p);
    if (mprotect(base_ + page_, page_, PROT_NONE) != 0) std::abort();
  }
  ~GuardedState() { munmap(base_, 2 * page_); }
  GuardedState(const GuardedState&) = delete;
  GuardedState& operator=(const GuardedState&) = delete;
  unsigned char* get() { return base_ + page_ - k::state_size; }

 private:
  std::size_t page_ = 0;
  unsigned char* base_ = nullptr;
};

// ---------------------------------------------------------------------------
// Permutation
// ---------------------------------------------------------------------------

TEST(KeccakPermutation, ZeroStateGivesPublishedLane0) {
  alignas(k::state_alignment) unsigned char s[k::state_size];
  k::KeccakP1600_Initialize(s);
  k::KeccakP1600_Permute_24rounds(s);
  EXPECT_EQ(lane_of(s, 0), 0xF1258F7940E1DDE7ULL);
}

TEST(KeccakPermutation, MatchesTextbookModelForEveryRoundCount) {
  std::mt19937_64 rng(1);
  // From 255 rounds on the register wraps around its period; a count must
  // never be cut to 8 bits (256 would run none, 300 would run 44).
  std::vector<int> counts = {255, 256, 300, 511};
  for (int nr = 0; nr <= 40; ++nr) counts.push_back(nr);
  for (const int nr : counts) {
    Bytes start = random_bytes(rng, 200);
    alignas(8) unsigned char ours[200];
    unsigned char model[200];
    std::memcpy(ours, start.data(), 200);
    std::memcpy(model, start.data(), 200);
    k::KeccakP1600_Permute_Nrounds(ours, static_cast<unsigned>(nr));
    model_permute(model, nr);
    ASSERT_EQ(0, std::memcmp(ours, model, 200)) << "nrounds " << nr;
  }
  for (int nr : {12, 24}) {
    Bytes start = random_bytes(rng, 200);
    alignas(8) unsigned char ours[200];
    unsigned char model[200];
    std::memcpy(ours, start.data(), 200);
    std::memcpy(model, start.data(), 200);
    if (nr == 12) {
      k::KeccakP1600_Permute_12rounds(ours);
    } else {
      k::KeccakP1600_Permute_24rounds(ours);
    }
    model_permute(model, nr);
    EXPECT_EQ(0, std::memcmp(ours, model, 200)) << "fixed " << nr;
  }
}

// ---------------------------------------------------------------------------
// Absorbing loops and four states at once
// ---------------------------------------------------------------------------

// `bytes` bytes that end where an inaccessible page begins.
class GuardedBytes {
 public:
  explicit GuardedBytes(std::size_t bytes) : bytes_(bytes) {
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    size_ = (bytes + page_ - 1) / page_ * page_ + page_;
    void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    base_ = static_cast<unsigned char*>(p);
    if (mprotect(base_ + size_ - page_, page_, PROT_NONE) != 0) std::abort();
  }
  ~GuardedBytes() { munmap(base_, size_); }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;
  unsigned char* get() { return base_ + size_ - page_ - bytes_; }

 private:
  std::size_t bytes_ = 0;
  std::size_t page_ = 0;
  std::size_t size_ = 0;
  unsigned char* base_ = nullptr;
};

// The single-state absorbing loops against AddLanes and a permutation per
// block, for every lane count, with the data ending at a guard page so that a
// read past the last whole block faults.
TEST(KeccakPermutation, FastLoopAbsorbEqualsBlockByBlock) {
  std::mt19937_64 rng(12);
  for (int rounds : {12, 24}) {
    for (unsigned laneCount = 1; laneCount <= 25; ++laneCount) {
      const std::size_t block = std::size_t{8} * laneCount;
      for (std::size_t length : {std::size_t{0}, block - 1, block, 3 * block + 5, 5 * block}) {
        SCOPED_TRACE(testing::Message()
                     << "rounds " << rounds << " laneCount " << laneCount << " length " << length);
        GuardedBytes guarded(length);
        unsigned char* data = guarded.get();
        for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<unsigned char>(rng());
        alignas(k::state_alignment) unsigned char fast[k::state_size];
        for (auto& c : fast) c = static_cast<unsigned char>(rng());
        alignas(k::state_alignment) unsigned char stepwise[k::state_size];
        std::memcpy(stepwise, fast, sizeof fast);

        const std::size_t absorbed =
            rounds == 12 ? k::KeccakP1600_12rounds_FastLoop_Absorb(fast, laneCount, data, length)
                         : k::KeccakF1600_FastLoop_Absorb(fast, laneCount, data, length);
        ASSERT_EQ(absorbed, length / block * block);
        for (std::size_t done = 0; done + block <= length; done += block) {
          k::KeccakP1600_AddLanes(stepwise, data + done, laneCount);
          k::KeccakP1600_Permute_Nrounds(stepwise, static_cast<unsigned>(rounds));
        }
        ASSERT_EQ(0, std::memcmp(fast, stepwise, sizeof fast));
      }
    }
  }
}

struct alignas(k::states4_alignment) States4 {
  Lane lanes[100];
};

// Instance j of the interleaved block as a 200-byte state.
Bytes instance_of(const States4& s, unsigned j) {
  Bytes out(200);
  for (unsigned i = 0; i < 25; ++i) std::memcpy(out.data() + 8 * i, &s.lanes[4 * i + j], 8);
  return out;
}

// The ctest runs of this test set VEXO_KECCAK or its 2.0 name
// VEXO_KECCAK_TIMES4 (see tests/CMakeLists.txt), so that every form the
// machine has is checked, each against single states.
TEST(KeccakTimes4, EveryFormMatchesFourSingleStates) {
  const char* cap = std::getenv("VEXO_KECCAK");
  if (cap == nullptr) cap = std::getenv("VEXO_KECCAK_TIMES4");
  const std::string form = k::KeccakP1600times4_GetImplementation();
  ASSERT_EQ(form, k::KeccakP1600_GetImplementation());
  RecordProperty("form", form);
  if (cap != nullptr && std::string(cap) == "portable") {
    ASSERT_EQ(form, "portable");
  }
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2") && cap != nullptr && std::string(cap) == "avx2") {
    ASSERT_EQ(form, "avx2");
  }
  if (__builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512f") && cap == nullptr) {
    ASSERT_EQ(form, "avx512");
  }
#endif

  std::mt19937_64 rng(11);
  // Permutations of random states.
  for (int trial = 0; trial < 20; ++trial) {
    States4 s;
    for (Lane& lane : s.lanes) lane = rng();
    const int rounds = trial % 2 == 0 ? 12 : 24;
    Bytes expect[4];
    for (unsigned j = 0; j < 4; ++j) {
      expect[j] = instance_of(s, j);
      k::KeccakP1600_Permute_Nrounds(expect[j].data(), static_cast<unsigned>(rounds));
    }
    if (rounds == 12) {
      k::KeccakP1600times4_PermuteAll_12rounds(&s);
    } else {
      k::KeccakP1600times4_PermuteAll_24rounds(&s);
    }
    for (unsigned j = 0; j < 4; ++j) ASSERT_EQ(instance_of(s, j), expect[j]) << rounds << " " << j;
  }

  // The absorbing loop, against AddLanesAll + PermuteAll per block and
  // against single states, with the last instance's data ending at a guard
  // page so that a read past the last whole block faults.
  struct Case {
    unsigned laneCount, laneOffset;
    std::size_t length;
  };
  const Case cases[] = {
      {21, 1024, 8192},  {17, 1024, 8192},   {21, 1024, 8191}, {21, 21, 168 * 3},
      {21, 30, 169},     {17, 17, 136 * 2},  {1, 1, 40},       {25, 25, 200 * 3 + 199},
      {25, 27, 199},     {13, 16, 104 * 4},  {21, 1024, 167},  {24, 25, 192 * 5 + 7},
      {9, 100, 72 * 10}, {2, 3, 16 * 2 + 1}, {21, 1024, 2048}, {17, 1024, 8192 - 136},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "laneCount " << c.laneCount << " laneOffset " << c.laneOffset
                                    << " length " << c.length);
    const std::size_t stride = std::size_t{8} * c.laneOffset;
    GuardedBytes guarded(3 * stride + c.length);
    unsigned char* data = guarded.get();
    for (std::size_t i = 0; i < 3 * stride + c.length; ++i) data[i] = static_cast<uint8_t>(rng());

    States4 fast, stepwise;
    for (Lane& lane : fast.lanes) lane = rng();
    stepwise = fast;
    Bytes single[4];
    for (unsigned j = 0; j < 4; ++j) single[j] = instance_of(fast, j);

    const std::size_t block = std::size_t{8} * c.laneCount;
    const std::size_t absorbed = k::KeccakP1600times4_12rounds_FastLoop_Absorb(
        &fast, c.laneCount, c.laneOffset, data, c.length);
    ASSERT_EQ(absorbed, c.length / block * block);
    for (std::size_t done = 0; done + block <= c.length; done += block) {
      k::KeccakP1600times4_AddLanesAll(&stepwise, data + done, c.laneCount, c.laneOffset);
      k::KeccakP1600times4_PermuteAll_12rounds(&stepwise);
      for (unsigned j = 0; j < 4; ++j) {
        k::KeccakP1600_AddLanes(single[j].data(), data + j * stride + done, c.laneCount);
        k::KeccakP1600_Permute_12rounds(single[j].data());
      }
    }
    Bytes extracted(3 * stride + block, 0x5c);
    k::KeccakP1600times4_ExtractLanesAll(&fast, extracted.data(), c.laneCount, c.laneOffset);
    for (unsigned j = 0; j < 4; ++j) {
      ASSERT_EQ(instance_of(fast, j), single[j]) << j;
      ASSERT_EQ(instance_of(stepwise, j), single[j]) << j;
      ASSERT_EQ(0, std::memcmp(extracted.data() + j * stride, single[j].data(), block)) << j;
    }
  }
}

// ---------------------------------------------------------------------------
// State access: every byte range against a byte-wise model, on a state that
// ends at a guard page.
// ---------------------------------------------------------------------------

TEST(KeccakState, ByteRangesTouchExactlyTheirBytes) {
  GuardedState guarded;
  unsigned char* s = guarded.get();
  std::mt19937_64 rng(2);
  const Bytes initial = random_bytes(rng, 200);
  const Bytes data = random_bytes(rng, 200);
  const Bytes poison(200, 0x5c);
  for (unsigned offset = 0; offset <= 200; ++offset) {
    for (unsigned length = 0; offset + length <= 200; ++length) {
      SCOPED_TRACE(testing::Message() << "offset " << offset << " length " << length);
      Bytes expect = initial;

      std::memcpy(s, initial.data(), 200);
      k::KeccakP1600_AddBytes(s, data.data(), offset, length);
      for (unsigned i = 0; i < length; ++i) expect[offset + i] ^= data[i];
      ASSERT_EQ(0, std::memcmp(s, expect.data(), 200));

      std::memcpy(s, initial.data(), 200);
      expect = initial;
      k::KeccakP1600_OverwriteBytes(s, data.data(), offset, length);
      std::memcpy(expect.data() + offset, data.data(), length);
      ASSERT_EQ(0, std::memcmp(s, expect.data(), 200));

      std::memcpy(s, initial.data(), 200);
      Bytes out = poison;
      k::KeccakP1600_ExtractBytes(s, out.data(), offset, length);
      for (unsigned i = 0; i < 200; ++i)
        ASSERT_EQ(out[i], i < length ? initial[offset + i] : 0x5c) << i;

      out = poison;
      k::KeccakP1600_ExtractAndAddBytes(s, data.data(), out.data(), offset, length);
      for (unsigned i = 0; i < 200; ++i)
        ASSERT_EQ(out[i], i < length ? data[i] ^ initial[offset + i] : 0x5c) << i;
      ASSERT_EQ(0, std::memcmp(s, initial.data(), 200));  // read-only on the state
    }
  }
}

TEST(KeccakState, LanesAndSingleBytes) {
  GuardedState guarded;
  unsigned char* s = guarded.get();
  std::mt19937_64 rng(3);
  const Bytes initial = random_bytes(rng, 200);
  const Bytes data = random_bytes(rng, 200);
  for (unsigned lanes = 0; lanes <= 25; ++lanes) {
    Bytes expect = initial;
    std::memcpy(s, initial.data(), 200);
    k::KeccakP1600_AddLanes(s, data.data(), lanes);
    for (unsigned i = 0; i < 8 * lanes; ++i) expect[i] ^= data[i];
    ASSERT_EQ(0, std::memcmp(s, expect.data(), 200)) << lanes;

    expect = initial;
    std::memcpy(s, initial.data(), 200);
    k::KeccakP1600_OverwriteLanes(s, data.data(), lanes);
    std::memcpy(expect.data(), data.data(), 8 * lanes);
    ASSERT_EQ(0, std::memcmp(s, expect.data(), 200)) << lanes;

    std::memcpy(s, initial.data(), 200);
    Bytes out(201, 0x5c);
    k::KeccakP1600_ExtractLanes(s, out.data(), lanes);
    for (unsigned i = 0; i < 201; ++i) ASSERT_EQ(out[i], i < 8 * lanes ? initial[i] : 0x5c);
    out.assign(201, 0x5c);
    k::KeccakP1600_ExtractAndAddLanes(s, data.data(), out.data(), lanes);
    for (unsigned i = 0; i < 201; ++i)
      ASSERT_EQ(out[i], i < 8 * lanes ? data[i] ^ initial[i] : 0x5c);
  }
  for (unsigned count = 0; count <= 200; ++count) {
    std::memcpy(s, initial.data(), 200);
    k::KeccakP1600_OverwriteWithZeroes(s, count);
    for (unsigned i = 0; i < 200; ++i) ASSERT_EQ(s[i], i < count ? 0 : initial[i]);
  }
  for (unsigned offset = 0; offset < 200; ++offset) {
    std::memcpy(s, initial.data(), 200);
    k::KeccakP1600_AddByte(s, 0xA5, offset);
    for (unsigned i = 0; i < 200; ++i)
      ASSERT_EQ(s[i], i == offset ? initial[i] ^ 0xA5 : initial[i]) << offset;
  }
  // Offset 13 is bits 40 to 47 of lane 1.
  k::KeccakP1600_Initialize(s);
  k::KeccakP1600_AddByte(s, 0xFF, 13);
  EXPECT_EQ(lane_of(s, 1), Lane{0xFF} << 40);
}

// A bytes-in-lane call with no bytes touches no memory, wherever it points:
// with the lane index one past the state (what a whole-state range would
// produce) and null buffers, nothing is read or written.
TEST(KeccakState, EmptyBytesInLaneTouchesNothing) {
  GuardedState guarded;
  unsigned char* s = guarded.get();
  std::memset(s, 0x11, 200);
  for (unsigned offset = 0; offset <= 8; ++offset) {
    k::KeccakP1600_AddBytesInLane(s, 25, nullptr, offset, 0);
    k::KeccakP1600_OverwriteBytesInLane(s, 25, nullptr, offset, 0);
    k::KeccakP1600_ExtractBytesInLane(s, 25, nullptr, offset, 0);
    k::KeccakP1600_ExtractAndAddBytesInLane(s, 25, nullptr, nullptr, offset, 0);
  }
  for (unsigned i = 0; i < 200; ++i) ASSERT_EQ(s[i], 0x11);
  // Whole-state ranges from offset 0, with exact-size buffers around them.
  Bytes in(200, 0x22);
  Bytes out(200, 0);
  k::KeccakP1600_ExtractAndAddBytes(s, in.data(), out.data(), 0, 200);
  EXPECT_EQ(out, Bytes(200, 0x33));
  k::KeccakP1600_AddBytes(s, in.data(), 0, 200);
  k::KeccakP1600_ExtractBytes(s, out.data(), 0, 200);
  EXPECT_EQ(out, Bytes(200, 0x33));
  k::KeccakP1600_OverwriteBytes(s, in.data(), 0, 200);
  k::KeccakP1600_ExtractBytes(s, out.data(), 0, 200);
  EXPECT_EQ(out, in);
}

// ---------------------------------------------------------------------------
// Sponge
// ---------------------------------------------------------------------------

TEST(Sponge, RefusesBadParametersAndWritesNothing) {
  const unsigned char in[3] = {1, 2, 3};
  struct Case {
    unsigned rate, capacity;
    unsigned char suffix;
  };
  const Case refused[] = {
      {1088, 512, 0},    {0, 1600, 0x06},   {1608, 0xFFFFFFF8u, 0x06}, {900, 700, 0x06},
      {1084, 516, 0x06}, {1088, 511, 0x06}, {1601, 0xFFFFFFFFu, 0x06},
  };
  for (const Case& c : refused) {
    Bytes out(64, 0x5c);
    EXPECT_EQ(1, k::Sponge(c.rate, c.capacity, in, 3, c.suffix, out.data(), out.size()))
        << c.rate << "/" << c.capacity;
    EXPECT_EQ(out, Bytes(64, 0x5c));
    k::SpongeInstance instance;
    std::memset(&instance, 0x5c, sizeof instance);
    if (c.suffix != 0) {
      EXPECT_EQ(1, k::SpongeInitialize(&instance, c.rate, c.capacity));
      const Bytes raw(reinterpret_cast<unsigned char*>(&instance),
                      reinterpret_cast<unsigned char*>(&instance) + sizeof instance);
      EXPECT_EQ(raw, Bytes(sizeof instance, 0x5c));
    }
  }
  Bytes out(1, 0x5c);
  EXPECT_EQ(0, k::Sponge(1088, 512, in, 3, 0x06, out.data(), 0));
  EXPECT_EQ(out[0], 0x5c);
  EXPECT_EQ(0, k::Sponge(1088, 512, nullptr, 0, 0x06, nullptr, 0));
}

// Rates from one byte to the whole state, suffixes with the delimiter in every
// position (0x80 and above force the extra block when the suffix byte is the
// block's last), inputs around the block boundaries, outputs over several
// blocks.
TEST(Sponge, MatchesTextbookModel) {
  std::mt19937_64 rng(4);
  for (unsigned rate : {8u, 64u, 576u, 1088u, 1344u, 1592u, 1600u}) {
    const std::size_t block = rate / 8;
    for (unsigned char suffix :
         std::initializer_list<unsigned char>{0x01, 0x06, 0x1F, 0x81, 0xFF, 0x80}) {
      for (std::size_t len :
           {std::size_t{0}, block - 1, block, block + 1, 2 * block - 1, 3 * block}) {
        const Bytes in = random_bytes(rng, len);
        const std::size_t out_len = 2 * block + 3;
        Bytes out(out_len);
        ASSERT_EQ(0,
                  k::Sponge(rate, 1600 - rate, in.data(), in.size(), suffix, out.data(), out_len));
        ASSERT_EQ(out, model_sponge(rate, in, suffix, out_len))
            << "rate " << rate << " suffix " << int{suffix} << " len " << len;
      }
    }
  }
}

// Runs the incremental sponge on a poisoned instance with the given absorb
// and squeeze piece sizes (cycled), and checks it against Sponge.
void check_incremental(unsigned rate, unsigned char suffix, const Bytes& in, std::size_t out_len,
                       const std::vector<std::size_t>& absorb_pieces,
                       const std::vector<std::size_t>& squeeze_pieces) {
  Bytes expect(out_len);
  ASSERT_EQ(0, k::Sponge(rate, 1600 - rate, in.data(), in.size(), suffix, expect.data(), out_len));
  k::SpongeInstance instance;
  std::memset(&instance, 0x5c, sizeof instance);
  ASSERT_EQ(0, k::SpongeInitialize(&instance, rate, 1600 - rate));
  std::size_t done = 0;
  for (std::size_t i = 0; done < in.size(); ++i) {
    const std::size_t n = std::min(absorb_pieces[i % absorb_pieces.size()], in.size() - done);
    ASSERT_EQ(0, k::SpongeAbsorb(&instance, in.data() + done, n));
    ASSERT_LT(instance.byteIOIndex, rate / 8);
    done += n;
  }
  if (suffix != 0x01 || in.size() % 2 == 0) {  // else let the squeeze pad
    ASSERT_EQ(0, k::SpongeAbsorbLastFewBits(&instance, suffix));
  }
  Bytes out(out_len, 0x5c);
  done = 0;
  for (std::size_t i = 0; done < out_len; ++i) {
    const std::size_t n = std::min(squeeze_pieces[i % squeeze_pieces.size()], out_len - done);
    ASSERT_EQ(0, k::SpongeSqueeze(&instance, out.data() + done, n));
    done += n;
  }
  ASSERT_EQ(out, expect) << "rate " << rate << " suffix " << int{suffix} << " len " << in.size();
}

TEST(SpongeIncremental, EqualsOneShotForRandomSplits) {
  std::mt19937_64 rng(5);
  for (unsigned rate : {8u, 576u, 1088u, 1344u, 1600u}) {
    const std::size_t block = rate / 8;
    for (unsigned char suffix : std::initializer_list<unsigned char>{0x01, 0x06, 0x1F, 0x81}) {
      for (int trial = 0; trial < 12; ++trial) {
        const Bytes in = random_bytes(rng, rng() % (4 * block + 2));
        const std::size_t out_len = rng() % (3 * block + 2);
        std::vector<std::size_t> absorb, squeeze;
        for (int i = 0; i < 5; ++i) {
          absorb.push_back(rng() % (2 * block + 1));
          squeeze.push_back(1 + rng() % (2 * block + 1));
        }
        check_incremental(rate, suffix, in, out_len, absorb, squeeze);
      }
    }
  }
}

TEST(SpongeIncremental, EqualsOneShotForEverySplitAroundABlock) {
  std::mt19937_64 rng(6);
  const unsigned rate = 1088;
  const Bytes in = random_bytes(rng, 2 * 136 + 1);
  for (std::size_t first = 0; first <= in.size(); ++first) {
    check_incremental(rate, 0x06, in, 300, {first, in.size()}, {first % 137 + 1});
  }
  for (std::size_t piece = 1; piece <= 137; ++piece) {
    check_incremental(rate, 0x1F, in, 3 * 136, {piece}, {piece});
  }
}

TEST(SpongeIncremental, RefusedCallsChangeNothing) {
  std::mt19937_64 rng(7);
  const Bytes in = random_bytes(rng, 150);
  k::SpongeInstance instance;
  std::memset(&instance, 0x5c, sizeof instance);
  ASSERT_EQ(0, k::SpongeInitialize(&instance, 1344, 256));
  ASSERT_EQ(0, k::SpongeAbsorb(&instance, in.data(), in.size()));

  auto snapshot = [&instance] {
    Bytes raw(sizeof instance);
    std::memcpy(raw.data(), &instance, sizeof instance);
    return raw;
  };
  Bytes before = snapshot();
  EXPECT_EQ(1, k::SpongeAbsorbLastFewBits(&instance, 0));
  EXPECT_EQ(before, snapshot());
  EXPECT_EQ(0, k::SpongeAbsorb(&instance, nullptr, 0));
  EXPECT_EQ(before, snapshot());

  ASSERT_EQ(0, k::SpongeAbsorbLastFewBits(&instance, 0x1F));
  Bytes out(100);
  ASSERT_EQ(0, k::SpongeSqueeze(&instance, out.data(), 40));
  before = snapshot();
  EXPECT_EQ(1, k::SpongeAbsorb(&instance, in.data(), 5));
  EXPECT_EQ(1, k::SpongeAbsorb(&instance, nullptr, 0));
  EXPECT_EQ(1, k::SpongeAbsorbLastFewBits(&instance, 0x1F));
  EXPECT_EQ(before, snapshot());
  ASSERT_EQ(0, k::SpongeSqueeze(&instance, out.data() + 40, 60));

  Bytes expect(100);
  ASSERT_EQ(0, k::Sponge(1344, 256, in.data(), in.size(), 0x1F, expect.data(), 100));
  EXPECT_EQ(out, expect);

  // A refused re-initialisation leaves a squeezing instance squeezing.
  before = snapshot();
  EXPECT_EQ(1, k::SpongeInitialize(&instance, 900, 700));
  EXPECT_EQ(before, snapshot());
}

TEST(SpongeIncremental, SqueezeWithoutSuffixPadsWithOne) {
  std::mt19937_64 rng(8);
  const Bytes in = random_bytes(rng, 135);
  k::SpongeInstance instance;
  ASSERT_EQ(0, k::SpongeInitialize(&instance, 1088, 512));
  ASSERT_EQ(0, k::SpongeAbsorb(&instance, in.data(), in.size()));
  Bytes out(272);
  ASSERT_EQ(0, k::SpongeSqueeze(&instance, out.data(), out.size()));
  EXPECT_EQ(instance.byteIOIndex,
            136u);  // ends on a block boundary, no extra permutation
  EXPECT_EQ(out, model_sponge(1088, in, 0x01, 272));
}

// The sponge on Keccak-p[1600, nrounds] (TurboSHAKE's 12 rounds and the
// unrolled 24, and other counts through KeccakP1600_Permute_Nrounds) against
// the bitwise model, absorbed and squeezed in random pieces; counts outside
// 1..24 are refused with the instance untouched.
TEST(SpongeIncremental, AnyRoundCountMatchesTheModel) {
  std::mt19937_64 rng(12);
  for (const unsigned nrounds : {1U, 7U, 12U, 24U}) {
    for (const unsigned rate : {1344U, 1088U}) {
      const Bytes in = random_bytes(rng, rng() % 700);
      const std::size_t out_len = rng() % 500;
      k::SpongeInstance instance;
      std::memset(&instance, 0x5c, sizeof instance);
      ASSERT_EQ(0, k::SpongeInitialize_Nrounds(&instance, rate, 1600 - rate, nrounds));
      for (std::size_t done = 0; done < in.size();) {
        const std::size_t n = std::min<std::size_t>(rng() % 400, in.size() - done);
        ASSERT_EQ(0, k::SpongeAbsorb(&instance, in.data() + done, n));
        done += n;
      }
      ASSERT_EQ(0, k::SpongeAbsorbLastFewBits(&instance, 0x0B));
      Bytes out(out_len);
      for (std::size_t done = 0; done < out_len;) {
        const std::size_t n = std::min<std::size_t>(rng() % 400, out_len - done);
        ASSERT_EQ(0, k::SpongeSqueeze(&instance, out.data() + done, n));
        done += n;
      }
      EXPECT_EQ(out, model_sponge(rate, in, 0x0B, out_len, static_cast<int>(nrounds)))
          << nrounds << " rounds, rate " << rate << ", " << in.size() << " bytes";
    }
  }
  for (const unsigned nrounds : {0U, 25U}) {
    k::SpongeInstance instance;
    std::memset(&instance, 0x5c, sizeof instance);
    EXPECT_EQ(1, k::SpongeInitialize_Nrounds(&instance, 1344, 256, nrounds));
    EXPECT_EQ(Bytes(reinterpret_cast<unsigned char*>(&instance),
                    reinterpret_cast<unsigned char*>(&instance) + sizeof instance),
              Bytes(sizeof instance, 0x5c));
  }
}

}  // namespace
