// SHA-3 and SHAKE: NIST known answers, OpenSSL's libcrypto as a reference,
// no heap allocation while hashing, and the four-lane SHAKE and TurboSHAKE
// against four one-lane calls.
#include "vexo/util/sha3.hpp"

#include <gtest/gtest.h>
#if !defined(VEXO_TEST_NO_OPENSSL)
#include <openssl/evp.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <new>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#define VEXO_TEST_COUNT_ALLOCATIONS 1
#include "test_support.hpp"
#include "vexo/util/k12.hpp"

namespace {

using vexo::test::Bytes;
using vexo::test::from_hex;
using vexo::test::random_bytes;

enum class Fn { kSha3_224, kSha3_256, kSha3_384, kSha3_512, kShake128, kShake256 };
constexpr Fn kAllFunctions[] = {Fn::kSha3_224, Fn::kSha3_256, Fn::kSha3_384,
                                Fn::kSha3_512, Fn::kShake128, Fn::kShake256};

std::size_t digest_size(Fn fn) {
  switch (fn) {
    case Fn::kSha3_224:
      return 28;
    case Fn::kSha3_256:
      return 32;
    case Fn::kSha3_384:
      return 48;
    case Fn::kSha3_512:
      return 64;
    default:
      return 0;
  }
}

std::size_t block_size(Fn fn) {
  switch (fn) {
    case Fn::kSha3_224:
      return 144;
    case Fn::kSha3_256:
      return 136;
    case Fn::kSha3_384:
      return 104;
    case Fn::kSha3_512:
      return 72;
    case Fn::kShake128:
      return 168;
    case Fn::kShake256:
      return 136;
  }
  return 0;
}

bool is_shake(Fn fn) { return fn == Fn::kShake128 || fn == Fn::kShake256; }

// Hashes with the span form (`out.size()` bytes for SHAKE).
bool ours(Fn fn, const Bytes& in, Bytes& out) {
  const tamu::span<const unsigned char> input(in);
  switch (fn) {
    case Fn::kSha3_224:
      return vexo::sha3_224(input, tamu::span<unsigned char, 28>(out.data(), 28));
    case Fn::kSha3_256:
      return vexo::sha3_256(input, tamu::span<unsigned char, 32>(out.data(), 32));
    case Fn::kSha3_384:
      return vexo::sha3_384(input, tamu::span<unsigned char, 48>(out.data(), 48));
    case Fn::kSha3_512:
      return vexo::sha3_512(input, tamu::span<unsigned char, 64>(out.data(), 64));
    case Fn::kShake128:
      return vexo::shake_128(input, out);
    case Fn::kShake256:
      return vexo::shake_256(input, out);
  }
  return false;
}

// Hashes with the array form (SHA-3 only).
Bytes ours_array(Fn fn, const Bytes& in) {
  const tamu::span<const unsigned char> input(in);
  auto to_bytes = [](const auto& a) { return Bytes(a.begin(), a.end()); };
  switch (fn) {
    case Fn::kSha3_224:
      return to_bytes(vexo::sha3_224(input));
    case Fn::kSha3_256:
      return to_bytes(vexo::sha3_256(input));
    case Fn::kSha3_384:
      return to_bytes(vexo::sha3_384(input));
    case Fn::kSha3_512:
      return to_bytes(vexo::sha3_512(input));
    default:
      return {};
  }
}

#if defined(VEXO_TEST_NO_OPENSSL)
// A cross build without the target's libcrypto: the tests that compare with
// it are skipped (the known answers above still run).
#define VEXO_TEST_NEEDS_OPENSSL() GTEST_SKIP() << "no OpenSSL libcrypto for this target"
Bytes openssl(Fn, const unsigned char*, std::size_t, std::size_t) { return {}; }
#else
#define VEXO_TEST_NEEDS_OPENSSL() static_cast<void>(0)
Bytes openssl(Fn fn, const unsigned char* in, std::size_t in_len, std::size_t out_len) {
  const EVP_MD* md = nullptr;
  switch (fn) {
    case Fn::kSha3_224:
      md = EVP_sha3_224();
      break;
    case Fn::kSha3_256:
      md = EVP_sha3_256();
      break;
    case Fn::kSha3_384:
      md = EVP_sha3_384();
      break;
    case Fn::kSha3_512:
      md = EVP_sha3_512();
      break;
    case Fn::kShake128:
      md = EVP_shake128();
      break;
    case Fn::kShake256:
      md = EVP_shake256();
      break;
  }
  Bytes out(out_len);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, md, nullptr) == 1 &&
            EVP_DigestUpdate(ctx, in, in_len) == 1;
  if (ok && is_shake(fn)) {
    ok = EVP_DigestFinalXOF(ctx, out.data(), out_len) == 1;
  } else if (ok) {
    ok = EVP_DigestFinal_ex(ctx, out.data(), nullptr) == 1;
  }
  EVP_MD_CTX_free(ctx);
  if (!ok) ADD_FAILURE() << "OpenSSL failed";
  return out;
}
#endif

// ---------------------------------------------------------------------------
// NIST CAVP known answers
// ---------------------------------------------------------------------------

struct Vector {
  Bytes msg;
  Bytes expected;
  int line = 0;
};

// Reads the Len/Msg/MD (ShortMsg) or Outputlen/Msg/Output (VariableOut)
// entries of a response file; lengths are in bits.
std::vector<Vector> read_vectors(const std::string& name) {
  std::ifstream file(std::string(VEXO_TEST_DATA_DIR) + "/sha3/" + name);
  EXPECT_TRUE(file.good()) << name;
  std::vector<Vector> vectors;
  Vector current;
  long bits = -1;
  std::string line;
  int number = 0;
  while (std::getline(file, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto eq = line.find(" = ");
    if (line.empty() || line[0] == '#' || line[0] == '[' || eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 3);
    if (key == "Len") {
      bits = std::stol(value);
    } else if (key == "Msg") {
      current.msg = from_hex(value);
      if (bits >= 0) current.msg.resize(static_cast<std::size_t>(bits / 8));
      current.line = number;
    } else if (key == "MD" || key == "Output") {
      current.expected = from_hex(value);
      vectors.push_back(current);
      current = Vector();
      bits = -1;
    }
  }
  return vectors;
}

struct KatFile {
  Fn fn;
  const char* name;
  std::size_t min_count;
};

TEST(Sha3Kat, AllShortMsgAndVariableOutEntries) {
  const KatFile files[] = {
      {Fn::kSha3_224, "SHA3_224ShortMsg.rsp", 145},
      {Fn::kSha3_256, "SHA3_256ShortMsg.rsp", 137},
      {Fn::kSha3_384, "SHA3_384ShortMsg.rsp", 105},
      {Fn::kSha3_512, "SHA3_512ShortMsg.rsp", 73},
      {Fn::kShake128, "SHAKE128ShortMsg.rsp", 337},
      {Fn::kShake256, "SHAKE256ShortMsg.rsp", 273},
      {Fn::kShake128, "SHAKE128VariableOut.rsp", 1000},
      {Fn::kShake256, "SHAKE256VariableOut.rsp", 1000},
  };
  for (const KatFile& f : files) {
    const auto vectors = read_vectors(f.name);
    ASSERT_GE(vectors.size(), f.min_count) << f.name;
    for (const Vector& v : vectors) {
      Bytes out(v.expected.size(), 0x5c);
      ASSERT_TRUE(ours(f.fn, v.msg, out));
      ASSERT_EQ(out, v.expected) << f.name << ":" << v.line;
      if (!is_shake(f.fn)) {
        ASSERT_EQ(ours_array(f.fn, v.msg), v.expected) << f.name << ":" << v.line;
      }
    }
  }
}

TEST(Sha3Kat, EmptyInputAndOutput) {
  // SHA3-256("") and the first bytes of SHAKE128(""), from FIPS 202's examples.
  const auto empty = vexo::sha3_256({});
  EXPECT_EQ(Bytes(empty.begin(), empty.end()),
            from_hex("a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a"));
  Bytes out(8);
  EXPECT_TRUE(vexo::shake_128({}, out));
  EXPECT_EQ(out, from_hex("7f9c2ba4e88f827d"));
  EXPECT_TRUE(vexo::shake_128({}, {}));
  EXPECT_TRUE(vexo::shake_256(tamu::span<const unsigned char>(out), tamu::span<unsigned char>()));
}

// ---------------------------------------------------------------------------
// Against OpenSSL
// ---------------------------------------------------------------------------

TEST(Sha3Differential, RandomInputsUpToThreeBlocks) {
  VEXO_TEST_NEEDS_OPENSSL();
  std::mt19937_64 rng(11);
  for (Fn fn : kAllFunctions) {
    const std::size_t block = block_size(fn);
    for (std::size_t len = 0; len <= 3 * block + 1; ++len) {
      const Bytes in = random_bytes(rng, len);
      const std::size_t out_len = is_shake(fn) ? 1 + rng() % (3 * block + 2) : digest_size(fn);
      Bytes out(out_len);
      ASSERT_TRUE(ours(fn, in, out));
      ASSERT_EQ(out, openssl(fn, in.data(), in.size(), out_len))
          << static_cast<int>(fn) << " len " << len;
    }
  }
}

TEST(Sha3Differential, SeveralMebibytes) {
  VEXO_TEST_NEEDS_OPENSSL();
  std::mt19937_64 rng(12);
  for (Fn fn : kAllFunctions) {
    const Bytes in = random_bytes(rng, (3u << 20) + rng() % 1000);
    Bytes out(is_shake(fn) ? 1000 : digest_size(fn));
    ASSERT_TRUE(ours(fn, in, out));
    EXPECT_EQ(out, openssl(fn, in.data(), in.size(), out.size())) << static_cast<int>(fn);
  }
}

// SHAKE output is a stream: a shorter request is a prefix of a longer one,
// also when it ends on, before or after a block boundary.
TEST(Sha3Differential, ShakeOutputIsAStream) {
  VEXO_TEST_NEEDS_OPENSSL();
  std::mt19937_64 rng(13);
  const Bytes in = random_bytes(rng, 200);
  for (Fn fn : {Fn::kShake128, Fn::kShake256}) {
    const std::size_t block = block_size(fn);
    const Bytes full = openssl(fn, in.data(), in.size(), 4 * block + 1);
    for (std::size_t len = 0; len <= full.size(); ++len) {
      Bytes out(len, 0x5c);
      ASSERT_TRUE(ours(fn, in, out));
      ASSERT_TRUE(std::equal(out.begin(), out.end(), full.begin())) << len;
    }
  }
}

// ---------------------------------------------------------------------------
// Streaming objects
// ---------------------------------------------------------------------------

// Streams `in` through `object` in random pieces; at a random point the
// object is copied and the copy takes the rest while the original gets other
// bytes. Returns the copy's output, read in random pieces for the XOFs; the
// original, reset and fed `in` in one piece, must agree.
template <typename Object>
Bytes stream_through(Object object, const Bytes& in, std::size_t out_len, std::mt19937_64& rng) {
  const Object copy = vexo::test::feed_with_copy(
      object, in, rng, [](std::mt19937_64& r) -> std::size_t { return r() % 8 == 0 ? 4000 : 200; },
      300);
  const auto finish = [out_len, &rng](const Object& o) {
    Bytes out(out_len);
    if constexpr (requires { o.finalize_xof().read(out); }) {
      vexo::XofReader reader = o.finalize_xof();
      for (std::size_t read = 0; read < out_len;) {
        const std::size_t n = std::min<std::size_t>(rng() % 300, out_len - read);
        reader.read(tamu::span<unsigned char>(out.data() + read, n));
        read += n;
      }
    } else {
      static_cast<void>(rng);  // the digests have a fixed length
      const auto digest = o.finalize();
      out.assign(digest.begin(), digest.end());
    }
    return out;
  };
  const Bytes out = finish(copy);
  object.reset();
  object.update(in);
  EXPECT_EQ(finish(object), out);
  return out;
}

Bytes stream_through(Fn fn, const Bytes& in, std::size_t out_len, std::mt19937_64& rng) {
  switch (fn) {
    case Fn::kSha3_224:
      return stream_through(vexo::Sha3_224(), in, out_len, rng);
    case Fn::kSha3_256:
      return stream_through(vexo::Sha3_256(), in, out_len, rng);
    case Fn::kSha3_384:
      return stream_through(vexo::Sha3_384(), in, out_len, rng);
    case Fn::kSha3_512:
      return stream_through(vexo::Sha3_512(), in, out_len, rng);
    case Fn::kShake128:
      return stream_through(vexo::Shake128(), in, out_len, rng);
    case Fn::kShake256:
      return stream_through(vexo::Shake256(), in, out_len, rng);
  }
  return {};
}

// Every object against OpenSSL, for lengths around the block boundaries and
// one of a few hundred KiB, in random splits.
TEST(Sha3Streaming, RandomSplitsAndCopiesMatchOpenssl) {
  VEXO_TEST_NEEDS_OPENSSL();
  std::mt19937_64 rng(16);
  for (Fn fn : kAllFunctions) {
    const std::size_t block = block_size(fn);
    for (std::size_t len : {std::size_t{0}, std::size_t{1}, block - 1, block, block + 1, 2 * block,
                            3 * block + 1, std::size_t{300000}}) {
      const Bytes in = random_bytes(rng, len);
      const std::size_t out_len = is_shake(fn) ? 1 + rng() % (3 * block) : digest_size(fn);
      EXPECT_EQ(stream_through(fn, in, out_len, rng), openssl(fn, in.data(), in.size(), out_len))
          << static_cast<int>(fn) << " len " << len;
    }
  }
}

// Keccak-256 (Ethereum's): published digests, then the object against the
// one-shot function.
TEST(Sha3Streaming, Keccak256) {
  const Bytes abc = {'a', 'b', 'c'};
  const auto as_bytes = [](const std::array<unsigned char, 32>& d) {
    return Bytes(d.begin(), d.end());
  };
  EXPECT_EQ(as_bytes(vexo::keccak_256(Bytes{})),
            from_hex("c5d2460186f7233c927e7db2dcc703c0e500b653ca82273b7bfad8045d85a470"));
  EXPECT_EQ(as_bytes(vexo::keccak_256(abc)),
            from_hex("4e03657aea45a94fc7d47ba826c8d667c0d1e6e33a64a036ec44f58fa12d6c45"));
  std::mt19937_64 rng(17);
  for (const std::size_t len : {0U, 135U, 136U, 137U, 5000U}) {
    const Bytes in = random_bytes(rng, len);
    const auto expected = vexo::keccak_256(in);
    EXPECT_EQ(stream_through(vexo::Keccak256(), in, 32, rng),
              Bytes(expected.begin(), expected.end()));
  }
}

TEST(Sha3Streaming, UpdatesDoNotAllocate) {
  VEXO_TEST_NEEDS_OPENSSL();
  std::mt19937_64 rng(18);
  const Bytes in = random_bytes(rng, 10000);
  vexo::Sha3_256 sha3;
  vexo::Shake128 shake;
  vexo::Keccak256 keccak;
  Bytes out(500);
  const auto feed = [&] {
    for (std::size_t at = 0; at < in.size(); at += 77) {
      const tamu::span<const unsigned char> piece(in.data() + at,
                                                  std::min<std::size_t>(77, in.size() - at));
      sha3.update(piece);
      shake.update(piece);
      keccak.update(piece);
    }
    (void)sha3.finalize();
    shake.finalize_xof().read(out);
    (void)keccak.finalize();
  };
#if defined(VEXO_TEST_ALLOCATIONS_COUNTED)
  EXPECT_EQ(vexo::test::allocations_in(feed), 0);
#else
  feed();
#endif
  EXPECT_EQ(out, openssl(Fn::kShake128, in.data(), in.size(), out.size()));
}

// ---------------------------------------------------------------------------
// Resources and threads
// ---------------------------------------------------------------------------

TEST(Sha3Resources, HashingDoesNotAllocate) {
  VEXO_TEST_NEEDS_OPENSSL();
  std::mt19937_64 rng(14);
  const Bytes in = random_bytes(rng, 10000);
  Bytes out128(1000), out256(1000);
  const tamu::span<const unsigned char> input(in);
  std::array<unsigned char, 64> d512_span{};

  std::array<unsigned char, 28> d224{};
  std::array<unsigned char, 32> d256{};
  std::array<unsigned char, 48> d384{};
  std::array<unsigned char, 64> d512{};
  bool ok = false;
  const auto hash_all = [&] {
    d224 = vexo::sha3_224(input);
    d256 = vexo::sha3_256(input);
    d384 = vexo::sha3_384(input);
    d512 = vexo::sha3_512(input);
    ok = vexo::sha3_512(input, d512_span) && vexo::shake_128(input, out128) &&
         vexo::shake_256(input, out256);
  };
#if defined(VEXO_TEST_ALLOCATIONS_COUNTED)
  EXPECT_EQ(vexo::test::allocations_in(hash_all), 0);
#else
  hash_all();
#endif
  EXPECT_TRUE(ok);
  EXPECT_EQ(Bytes(d224.begin(), d224.end()), openssl(Fn::kSha3_224, in.data(), in.size(), 28));
  EXPECT_EQ(Bytes(d256.begin(), d256.end()), openssl(Fn::kSha3_256, in.data(), in.size(), 32));
  EXPECT_EQ(Bytes(d384.begin(), d384.end()), openssl(Fn::kSha3_384, in.data(), in.size(), 48));
  EXPECT_EQ(d512, d512_span);
  EXPECT_EQ(Bytes(d512.begin(), d512.end()), openssl(Fn::kSha3_512, in.data(), in.size(), 64));
  EXPECT_EQ(out128, openssl(Fn::kShake128, in.data(), in.size(), 1000));
  EXPECT_EQ(out256, openssl(Fn::kShake256, in.data(), in.size(), 1000));
}

TEST(Sha3Threads, ConcurrentCallsGiveTheSameDigests) {
  std::mt19937_64 rng(15);
  const Bytes in = random_bytes(rng, 5000);
  const auto expected = vexo::sha3_512(in);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i)
        if (vexo::sha3_512(in) != expected) ++mismatches;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// The four-lane functions and objects against four one-lane calls: lengths
// drawn around the block boundaries (and at random), different in each lane,
// the objects fed and read in random pieces per lane, with a copy on the
// way. Covers the lanes waiting for each other in both phases.
TEST(Sha3FourLanes, EachLaneEqualsTheOneLaneFunction) {
  struct Algorithm {
    const char* name;
    std::size_t block;
    void (*x4)(const std::array<tamu::span<const unsigned char>, 4>&,
               const std::array<tamu::span<unsigned char>, 4>&);
    void (*one)(tamu::span<const unsigned char>, tamu::span<unsigned char>);
    std::optional<vexo::detail::SpongeX4> (*object)();
  };
  using In4 = std::array<tamu::span<const unsigned char>, 4>;
  using Out4 = std::array<tamu::span<unsigned char>, 4>;
  static constexpr unsigned char kDomain = 0x0B;
  const Algorithm algorithms[] = {
      {"SHAKE128", 168, vexo::shake_128_x4,
       [](tamu::span<const unsigned char> in, tamu::span<unsigned char> out) {
         vexo::shake_128(in, out);
       },
       [] { return std::optional<vexo::detail::SpongeX4>(std::in_place, 1344, 24, 0x1F); }},
      {"SHAKE256", 136, vexo::shake_256_x4,
       [](tamu::span<const unsigned char> in, tamu::span<unsigned char> out) {
         vexo::shake_256(in, out);
       },
       [] { return std::optional<vexo::detail::SpongeX4>(std::in_place, 1088, 24, 0x1F); }},
      {"TurboSHAKE128", 168,
       [](const In4& in, const Out4& out) { vexo::turboshake_128_x4(in, kDomain, out); },
       [](tamu::span<const unsigned char> in, tamu::span<unsigned char> out) {
         vexo::turboshake_128(in, kDomain, out);
       },
       [] { return std::optional<vexo::detail::SpongeX4>(std::in_place, 1344, 12, kDomain); }},
      {"TurboSHAKE256", 136,
       [](const In4& in, const Out4& out) { vexo::turboshake_256_x4(in, kDomain, out); },
       [](tamu::span<const unsigned char> in, tamu::span<unsigned char> out) {
         vexo::turboshake_256(in, kDomain, out);
       },
       [] { return std::optional<vexo::detail::SpongeX4>(std::in_place, 1088, 12, kDomain); }},
  };
  std::mt19937_64 rng(203);
  for (const Algorithm& a : algorithms) {
    SCOPED_TRACE(a.name);
    const auto length = [&] {
      const std::size_t blocks = rng() % 4;
      switch (rng() % 4) {
        case 0:
          return blocks * a.block;
        case 1:
          return blocks * a.block + 1;
        case 2:
          return blocks * a.block + a.block - 1;
        default:
          return static_cast<std::size_t>(rng() % (4 * a.block));
      }
    };
    for (int trial = 0; trial < 300; ++trial) {
      std::array<Bytes, 4> in, expected, got, streamed;
      for (std::size_t j = 0; j < 4; ++j) {
        in[j] = random_bytes(rng, length());
        expected[j].resize(length());
        a.one(in[j], expected[j]);
        got[j].assign(expected[j].size(), 0xEE);
        streamed[j].assign(expected[j].size(), 0xEE);
      }
      a.x4({in[0], in[1], in[2], in[3]}, {got[0], got[1], got[2], got[3]});
      EXPECT_EQ(got, expected) << "one-shot, trial " << trial;

      // The object: each absorb() and squeeze() takes a random piece of
      // each lane (empty ones too), so the lanes drift apart.
      std::optional<vexo::detail::SpongeX4> object = a.object();
      std::array<std::size_t, 4> done{};
      const auto pieces_left = [&](const std::array<Bytes, 4>& bytes) {
        for (std::size_t j = 0; j < 4; ++j) {
          if (done[j] < bytes[j].size()) return true;
        }
        return false;
      };
      const auto piece = [&](std::size_t j, std::size_t size) {
        const std::size_t limit = rng() % 3 == 0 ? 3 * a.block : a.block + 2;
        return std::min<std::size_t>(rng() % (limit + 1), size - done[j]);
      };
      while (pieces_left(in)) {
        In4 part;
        for (std::size_t j = 0; j < 4; ++j) {
          const std::size_t n = piece(j, in[j].size());
          part[j] = tamu::span<const unsigned char>(in[j].data() + done[j], n);
          done[j] += n;
        }
        object->absorb(part);
      }
      std::optional<vexo::detail::SpongeX4> copy;
      done = {};
      while (pieces_left(streamed)) {
        Out4 part;
        for (std::size_t j = 0; j < 4; ++j) {
          const std::size_t n = piece(j, streamed[j].size());
          part[j] = tamu::span<unsigned char>(streamed[j].data() + done[j], n);
          done[j] += n;
        }
        object->squeeze(part);
        if (!copy && rng() % 2 == 0) {
          // The rest is read from a copy, while the original reads other
          // bytes: a copy that shared state with it would go wrong.
          copy = object;
          std::array<unsigned char, 7> noise{};
          object->squeeze({noise, noise, noise, noise});
          std::swap(object, copy);
        }
      }
      EXPECT_EQ(streamed, expected) << "streamed, trial " << trial;
    }
  }

  // Misuse and bad arguments.
  vexo::Shake128x4 xof;
  std::array<unsigned char, 1> byte{};
  xof.squeeze({byte, byte, byte, byte});
  EXPECT_EQ(vexo::test::error_message([&] {
              xof.absorb({byte, byte, byte, byte});
            }),
            "Cannot absorb after squeezing; call reset() first");
  xof.reset();
  xof.absorb({byte, byte, byte, byte});
  EXPECT_EQ(vexo::test::error_message([] { vexo::TurboShake256x4 bad(0x80); }),
            "Invalid TurboSHAKE domain byte: 0x80");
  std::array<unsigned char, 8> out{};
  EXPECT_EQ(vexo::test::error_message([&] {
              vexo::turboshake_128_x4({byte, byte, byte, byte}, 0, {out, out, out, out});
            }),
            "Invalid TurboSHAKE domain byte: 0x00");
  EXPECT_EQ(out, (std::array<unsigned char, 8>{}));
}

}  // namespace
