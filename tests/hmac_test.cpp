// HMAC-SHA3 against OpenSSL's HMAC (in a cross build without it, against
// FIPS 198-1's construction over SHA3) at every key length class (empty, below,
// at and above the block), streaming against one-shot, and
// constant_time_equal: its results, and under valgrind that no branch looks
// at the bytes it compares.
#include "vexo/util/hmac.hpp"

#include <gtest/gtest.h>
#if !defined(VEXO_TEST_NO_OPENSSL)
#include <openssl/evp.h>
#include <openssl/hmac.h>
#endif
// A cross compiler does not see the build machine's valgrind headers.
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define VEXO_TEST_HAVE_VALGRIND 1
#endif

#include <array>
#include <random>
#include <string>
#include <string_view>

#include "test_support.hpp"
#include "vexo/util/sha3.hpp"

namespace {

using vexo::test::Bytes;
using vexo::test::feed_with_copy;
using vexo::test::random_bytes;

#if !defined(VEXO_TEST_NO_OPENSSL)
Bytes openssl_hmac(const EVP_MD* md, const Bytes& key, const Bytes& input) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  static const unsigned char kEmpty = 0;
  HMAC(md, key.empty() ? &kEmpty : key.data(), static_cast<int>(key.size()),
       input.empty() ? &kEmpty : input.data(), input.size(), out, &size);
  return Bytes(out, out + size);
}

// The reference: OpenSSL's HMAC with SHA3 of an N-byte digest.
template <std::size_t N>
Bytes reference_hmac(std::size_t /*block*/, const Bytes& key, const Bytes& input) {
  const EVP_MD* md = N == 28   ? EVP_sha3_224()
                     : N == 32 ? EVP_sha3_256()
                     : N == 48 ? EVP_sha3_384()
                               : EVP_sha3_512();
  return openssl_hmac(md, key, input);
}
#else
template <std::size_t N>
Bytes sha3_of(const Bytes& in) {
  const auto to_bytes = [](const auto& digest) { return Bytes(digest.begin(), digest.end()); };
  if constexpr (N == 28) {
    return to_bytes(vexo::sha3_224(in));
  } else if constexpr (N == 32) {
    return to_bytes(vexo::sha3_256(in));
  } else if constexpr (N == 48) {
    return to_bytes(vexo::sha3_384(in));
  } else {
    static_assert(N == 64);
    return to_bytes(vexo::sha3_512(in));
  }
}

// Without libcrypto for the target (a cross build) the reference is FIPS
// 198-1's construction, H((K0 ^ opad) || H((K0 ^ ipad) || text)), over this
// library's SHA3, which sha3_test checks against NIST's known answers.
template <std::size_t N>
Bytes reference_hmac(std::size_t block, const Bytes& key, const Bytes& input) {
  Bytes k0 = key.size() > block ? sha3_of<N>(key) : key;
  k0.resize(block, 0);
  Bytes inner(block);
  Bytes outer(block);
  for (std::size_t i = 0; i < block; ++i) {
    inner[i] = static_cast<unsigned char>(k0[i] ^ 0x36);
    outer[i] = static_cast<unsigned char>(k0[i] ^ 0x5c);
  }
  inner.insert(inner.end(), input.begin(), input.end());
  const Bytes inner_hash = sha3_of<N>(inner);
  outer.insert(outer.end(), inner_hash.begin(), inner_hash.end());
  return sha3_of<N>(outer);
}
#endif

template <typename Object, std::size_t N>
void check_function(void (*one_shot)(tamu::span<const unsigned char>,
                                     tamu::span<const unsigned char>, tamu::span<unsigned char, N>),
                    std::size_t block) {
  std::mt19937_64 rng(block);
  for (const std::size_t key_size : {std::size_t{0}, std::size_t{1}, N, block - 1, block, block + 1,
                                     2 * block + 3, std::size_t{1000}}) {
    for (const std::size_t input_size : {std::size_t{0}, block - 1, block, 5 * block + 7}) {
      const Bytes key = random_bytes(rng, key_size);
      const Bytes input = random_bytes(rng, input_size);
      const Bytes expected = reference_hmac<N>(block, key, input);
      std::array<unsigned char, N> tag;
      one_shot(key, input, tag);
      EXPECT_EQ(Bytes(tag.begin(), tag.end()), expected)
          << "key " << key_size << " input " << input_size;
      Object object(key);
      object.update(Bytes(50, 0x5c));
      object.reset();
      const auto limit = [](std::mt19937_64& r) -> std::size_t { return 1 + r() % 400; };
      const Object copy = feed_with_copy(object, input, rng, limit, 9);
      const auto streamed = copy.finalize();
      EXPECT_EQ(Bytes(streamed.begin(), streamed.end()), expected) << "streamed, key " << key_size;
    }
  }
}

TEST(HmacSha3, MatchesOpenSslForEveryKeyLengthClass) {
  check_function<vexo::HmacSha3_224, 28>(vexo::hmac_sha3_224, 144);
  check_function<vexo::HmacSha3_256, 32>(vexo::hmac_sha3_256, 136);
  check_function<vexo::HmacSha3_384, 48>(vexo::hmac_sha3_384, 104);
  check_function<vexo::HmacSha3_512, 64>(vexo::hmac_sha3_512, 72);

  // Text inputs and keys.
  std::array<unsigned char, 32> from_text, from_bytes;
  const std::string key = "key";
  vexo::hmac_sha3_256(vexo::byte_view(key), std::string_view("message"), from_text);
  const Bytes key_bytes(key.begin(), key.end());
  const Bytes message = {'m', 'e', 's', 's', 'a', 'g', 'e'};
  vexo::hmac_sha3_256(key_bytes, message, from_bytes);
  EXPECT_EQ(from_text, from_bytes);
  vexo::HmacSha3_256 object(key);
  object.update(std::string("message"));
  EXPECT_EQ(object.finalize(), from_bytes);
}

TEST(ConstantTimeEqual, Results) {
  std::mt19937_64 rng(7);
  const Bytes a = random_bytes(rng, 64);
  EXPECT_TRUE(vexo::constant_time_equal(a, a));
  EXPECT_TRUE(vexo::constant_time_equal({}, {}));
  EXPECT_FALSE(vexo::constant_time_equal(a, tamu::span<const unsigned char>(a.data(), 63)));
  for (const std::size_t at : {0u, 31u, 63u}) {
    for (const unsigned bit : {0x01u, 0x80u}) {
      Bytes b = a;
      b[at] = static_cast<unsigned char>(b[at] ^ bit);
      EXPECT_FALSE(vexo::constant_time_equal(a, b)) << at;
    }
  }
}

// Under valgrind's memcheck (ctest runs this as hmac_test.constant_time_valgrind),
// the compared bytes are marked undefined: any branch, or any address, that
// depends on them is then an error, such as an exit at the first difference.
// Only the result may depend on them; it is marked defined before use.
TEST(ConstantTime, NoBranchDependsOnTheBytes) {
#if !defined(VEXO_TEST_HAVE_VALGRIND)
  GTEST_SKIP() << "no valgrind headers for this target";
#else
  if (!RUNNING_ON_VALGRIND) {
    GTEST_SKIP() << "needs valgrind: ctest runs it as hmac_test.constant_time_valgrind";
  }
  std::mt19937_64 rng(8);
  for (const std::size_t size : {1u, 16u, 32u, 64u, 1000u}) {
    Bytes a = random_bytes(rng, size);
    Bytes b = a;
    if (size > 1) b[size / 2] ^= 1;
    const unsigned long errors_before = VALGRIND_COUNT_ERRORS;
    VALGRIND_MAKE_MEM_UNDEFINED(a.data(), a.size());
    VALGRIND_MAKE_MEM_UNDEFINED(b.data(), b.size());
    bool equal = vexo::constant_time_equal(a, b);
    VALGRIND_MAKE_MEM_DEFINED(&equal, sizeof equal);
    VALGRIND_MAKE_MEM_DEFINED(a.data(), a.size());
    VALGRIND_MAKE_MEM_DEFINED(b.data(), b.size());
    EXPECT_EQ(VALGRIND_COUNT_ERRORS, errors_before) << "size " << size;
    EXPECT_EQ(equal, size == 1);
  }
#endif
}

}  // namespace
