// Hasher against the functions it names, and the input and output forms
// that every hashing function shares (bytes.hpp, to_hex).
#include "vexo/util/Hasher.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <concepts>
#include <cstddef>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.hpp"
#include "vexo/util/ThreadPool.hpp"
#include "vexo/util/cshake.hpp"
#include "vexo/util/hmac.hpp"
#include "vexo/util/k12.hpp"
#include "vexo/util/sha3.hpp"

namespace {

using vexo::test::Bytes;
using vexo::test::error_message;
using vexo::test::feed_with_copy;
using vexo::test::random_bytes;

// The one-shot function that `name` stands for, with `size` output bytes.
Bytes reference(std::string_view name, const Bytes& input, std::size_t size) {
  Bytes out(size);
  const auto fixed = [&](auto digest) { out.assign(digest.begin(), digest.end()); };
  if (name == "SHA3-224") fixed(vexo::sha3_224(input));
  if (name == "SHA3-256") fixed(vexo::sha3_256(input));
  if (name == "SHA3-384") fixed(vexo::sha3_384(input));
  if (name == "SHA3-512") fixed(vexo::sha3_512(input));
  if (name == "Keccak-256") fixed(vexo::keccak_256(input));
  if (name == "SHAKE128") vexo::shake_128(input, out);
  if (name == "SHAKE256") vexo::shake_256(input, out);
  if (name == "TurboSHAKE128") vexo::turboshake_128(input, 0x1F, out);
  if (name == "TurboSHAKE256") vexo::turboshake_256(input, 0x1F, out);
  if (name == "KT128") vexo::kt_128(input, {}, out);
  if (name == "KT256") vexo::kt_256(input, {}, out);
  if (name == "ParallelHash128") vexo::parallel_hash_128(input, 8192, {}, out);
  if (name == "ParallelHash256") vexo::parallel_hash_256(input, 8192, {}, out);
  return out;
}

TEST(Hasher, EveryNameMatchesItsFunction) {
  vexo::util::ThreadPool pool(2, 16);
  std::mt19937_64 rng(1);
  ASSERT_EQ(vexo::Hasher::names().size(), 13u);
  for (const std::string_view name : vexo::Hasher::names()) {
    for (const std::size_t size : {0u, 135u, 136u, 100000u}) {
      const Bytes input = random_bytes(rng, size);
      std::optional<vexo::Hasher> made = vexo::Hasher::by_name(name, &pool);
      ASSERT_TRUE(made) << name;
      EXPECT_EQ(made->name(), name);
      const auto limit = [](std::mt19937_64& r) -> std::size_t { return 1 + r() % 20000; };
      const vexo::Hasher hasher = feed_with_copy(*made, input, rng, limit, 3);
      const std::size_t digest = hasher.digest_size();
      Bytes out(digest);
      hasher.finalize(out);
      EXPECT_EQ(out, reference(name, input, digest)) << name << " " << size;
      if (hasher.extendable()) {
        Bytes longer(digest + 77);
        hasher.finalize(longer);
        EXPECT_EQ(longer, reference(name, input, longer.size())) << name;
        Bytes xof(300);
        vexo::XofReader reader = hasher.finalize_xof();
        reader.read(tamu::span<unsigned char>(xof.data(), 1));
        reader.read(tamu::span<unsigned char>(xof.data() + 1, 299));
        if (!name.starts_with("ParallelHash")) {
          EXPECT_EQ(xof, reference(name, input, 300)) << name;
        } else {
          Bytes expected(300);
          if (name.ends_with("128")) {
            vexo::parallel_hash_xof_128(input, 8192, {}, expected);
          } else {
            vexo::parallel_hash_xof_256(input, 8192, {}, expected);
          }
          EXPECT_EQ(xof, expected) << name;
        }
      } else {
        Bytes wrong(digest - 1);
        EXPECT_EQ(error_message([&] { hasher.finalize(wrong); }),
                  "Invalid output length for " + std::string(name) + ": " +
                      std::to_string(digest - 1) + " bytes, expected " + std::to_string(digest));
        EXPECT_EQ(error_message([&] { (void)hasher.finalize_xof(); }),
                  std::string(name) + " has no extendable output");
      }
      // A copy assigned over another algorithm's Hasher takes the algorithm.
      vexo::Hasher other = *vexo::Hasher::by_name(name == "KT128" ? "SHA3-256" : "KT128");
      other = hasher;
      EXPECT_EQ(other.name(), name);
      other.reset();
      other.update(input);
      Bytes again(digest);
      other.finalize(again);
      EXPECT_EQ(again, out) << name;
    }
  }
  // Names match in any case, as sha3sum -a and OpenSSL take them; name()
  // gives the canonical spelling. Near misses are refused.
  for (const std::string_view name : vexo::Hasher::names()) {
    std::string lower(name), upper(name);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& spelling : {lower, upper}) {
      const std::optional<vexo::Hasher> made = vexo::Hasher::by_name(spelling);
      ASSERT_TRUE(made) << spelling;
      EXPECT_EQ(made->name(), name);
    }
    EXPECT_FALSE(vexo::Hasher::by_name(std::string(name) + " ")) << name;
    EXPECT_FALSE(vexo::Hasher::by_name(name.substr(1))) << name;
  }
  EXPECT_FALSE(vexo::Hasher::by_name("sha3_256"));
  EXPECT_FALSE(vexo::Hasher::by_name(""));
}

// The input forms: each gives the bytes of the span form, string literals
// must be wrapped (a char array is refused, so its terminating zero is never
// hashed), and `{}` stays an empty input.
template <class T>
concept Sha3Accepts = requires(const T& input) {
  vexo::sha3_256(input);
};
static_assert(Sha3Accepts<std::string>);
static_assert(Sha3Accepts<std::string_view>);
static_assert(Sha3Accepts<std::vector<char>>);
static_assert(Sha3Accepts<std::array<std::byte, 4>>);
static_assert(Sha3Accepts<std::span<const char>>);
static_assert(!Sha3Accepts<char[4]>);
static_assert(!Sha3Accepts<std::vector<int>>);

TEST(InputForms, EveryFormHashesTheSameBytes) {
  const std::string expected = "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532";
  EXPECT_EQ(vexo::to_hex(vexo::sha3_256(std::string_view("abc"))), expected);
  EXPECT_EQ(vexo::to_hex(vexo::sha3_256(std::string("abc"))), expected);
  const std::vector<char> chars = {'a', 'b', 'c'};
  EXPECT_EQ(vexo::to_hex(vexo::sha3_256(chars)), expected);
  EXPECT_EQ(vexo::to_hex(vexo::sha3_256(std::span<const char>(chars))), expected);
  const std::array<std::byte, 3> bytes = {std::byte{'a'}, std::byte{'b'}, std::byte{'c'}};
  EXPECT_EQ(vexo::to_hex(vexo::sha3_256(bytes)), expected);
  std::array<unsigned char, 32> out;
  EXPECT_TRUE(vexo::sha3_256(std::string("abc"), out));
  EXPECT_EQ(vexo::to_hex(out), expected);
  vexo::Sha3_256 object;
  object.update(std::string_view("a"));
  object.update(std::string("bc"));
  EXPECT_EQ(vexo::to_hex(object.finalize()), expected);
  EXPECT_EQ(vexo::to_hex({}), "");

  // {} as an empty customization beside a string input.
  std::array<unsigned char, 32> kt_string, kt_span;
  EXPECT_TRUE(vexo::kt_128(std::string("abc"), {}, kt_string));
  EXPECT_TRUE(vexo::kt_128(vexo::byte_view(std::string_view("abc")), {}, kt_span));
  EXPECT_EQ(kt_string, kt_span);
}

// Keys, function names and customization strings take what messages take:
// each string form gives the bytes of the span form, `{}` stays empty, and
// a span or an unsigned char array still goes as it did.
TEST(InputForms, KeysAndCustomizationsTakeEveryByteForm) {
  const std::string key = "a key of 32 bytes, for KMAC256!!";
  const std::string custom = "My Tagged Application";
  const std::string message = "message";
  const auto span = [](const std::string& s) { return vexo::byte_view(s); };
  std::array<unsigned char, 32> a{}, b{};
  const auto same = [&](const char* what) {
    EXPECT_EQ(a, b) << what;
    a.fill(0);
    b.fill(1);
  };
  vexo::kmac_256(key, message, custom, a);
  vexo::kmac_256(span(key), span(message), span(custom), b);
  same("kmac_256");
  vexo::kmac_xof_128(std::string_view(key), message, {}, a);
  vexo::kmac_xof_128(span(key), span(message), {}, b);
  same("kmac_xof_128");
  vexo::cshake_256(message, std::string("name"), custom, a);
  vexo::cshake_256(span(message), vexo::byte_view(std::string_view("name")), span(custom), b);
  same("cshake_256");
  vexo::hmac_sha3_256(key, message, a);
  vexo::hmac_sha3_256(span(key), span(message), b);
  same("hmac_sha3_256");
  vexo::kt_128(message, custom, a);
  vexo::kt_128(span(message), span(custom), b);
  same("kt_128");
  vexo::parallel_hash_128(message, 8, custom, a);
  vexo::parallel_hash_128(span(message), 8, span(custom), b);
  same("parallel_hash_128");
  vexo::tuple_hash_128({span(message), span(key)}, custom, a);
  vexo::tuple_hash_128({span(message), span(key)}, span(custom), b);
  same("tuple_hash_128");

  vexo::Kmac256 kmac(key, custom);
  kmac.update(message);
  kmac.finalize(a);
  vexo::kmac_256(span(key), span(message), span(custom), b);
  same("Kmac256");
  vexo::Cshake128 cshake(std::string("name"), custom);
  cshake.update(message);
  cshake.finalize(a);
  vexo::cshake_128(span(message), vexo::byte_view(std::string_view("name")), span(custom), b);
  same("Cshake128");
  vexo::Kt128 kt;
  kt.update(message);
  kt.finalize_xof(custom).read(a);
  vexo::kt_128(span(message), span(custom), b);
  same("Kt128");
  vexo::ParallelHash128 ph(8, custom);
  ph.update(message);
  ph.finalize(a);
  vexo::parallel_hash_128(span(message), 8, span(custom), b);
  same("ParallelHash128");
  vexo::TupleHash128 tuple(custom);
  tuple.add(message);
  tuple.finalize(a);
  vexo::tuple_hash_128({span(message)}, span(custom), b);
  same("TupleHash128");

  // The 2.0 forms: spans, `{}`, a pointer and a size, an unsigned char array.
  const unsigned char raw[3] = {'k', 'e', 'y'};
  vexo::kmac_128(raw, {}, {}, a);
  vexo::kmac_128(vexo::ByteSpan(raw, 3), vexo::ByteSpan(), vexo::ByteSpan(), b);
  same("kmac_128 with an array key");
  vexo::Kmac128 keyed({raw, 3});
  keyed.finalize(a);
  vexo::Kmac128(vexo::ByteSpan(raw)).finalize(b);
  same("Kmac128 from a pointer and a size");
}

// One streaming interface: every object takes update(bytes), finalize(span)
// and reset(); the extendable ones, and only they, have finalize_xof(),
// whose bytes finalize(span) gives (bound to the length where the function
// binds it).
template <class T>
concept Streaming = requires(T& object, const T& done, std::span<unsigned char> out) {
  object.update(std::string_view("x"));
  done.finalize(out.first<32>());
  object.reset();
};
template <class T>
concept Extendable = Streaming<T> && requires(const T& done, std::span<unsigned char> out) {
  done.finalize(out);
  { done.finalize_xof() } -> std::same_as<vexo::XofReader>;
};
static_assert(Extendable<vexo::Shake128> && Extendable<vexo::Shake256>);
static_assert(Extendable<vexo::TurboShake128> && Extendable<vexo::TurboShake256>);
static_assert(Extendable<vexo::Cshake128> && Extendable<vexo::Cshake256>);
static_assert(Extendable<vexo::Kmac128> && Extendable<vexo::Kmac256>);
static_assert(Extendable<vexo::ParallelHash128> && Extendable<vexo::ParallelHash256>);
static_assert(Streaming<vexo::Sha3_256> && !Extendable<vexo::Sha3_256>);
static_assert(Streaming<vexo::Keccak256> && !Extendable<vexo::Keccak256>);
static_assert(Streaming<vexo::HmacSha3_256> && !Extendable<vexo::HmacSha3_256>);

TEST(Streaming, FinalizeIntoASpanGivesTheReadersBytes) {
  const std::string message(300, 'm');
  std::array<unsigned char, 200> filled{}, read{}, old{};
  const auto check = [&](const auto& object, const char* what) {
    object.finalize(filled);
    object.finalize_xof().read(read);
    EXPECT_EQ(filled, read) << what;
  };
  vexo::Shake128 shake;
  shake.update(message);
  check(shake, "Shake128");
  vexo::TurboShake256 turbo(0x0B);
  turbo.update(message);
  check(turbo, "TurboShake256");
  vexo::Cshake256 cshake(std::string_view("N"), std::string_view("S"));
  cshake.update(message);
  check(cshake, "Cshake256");
  vexo::Kt256 kt;
  kt.update(message);

  // The deprecated 2.0 names still compile and still give finalize_xof()'s
  // bytes (the reader's, for the same customization).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  const auto same_as_xof = [&](vexo::XofReader xof, vexo::XofReader deprecated, const char* what) {
    xof.read(read);
    deprecated.read(old);
    EXPECT_EQ(old, read) << what;
  };
  same_as_xof(shake.finalize_xof(), shake.finalize(), "Shake128::finalize()");
  same_as_xof(turbo.finalize_xof(), turbo.finalize(), "TurboShake256::finalize()");
  same_as_xof(cshake.finalize_xof(), cshake.finalize(), "Cshake256::finalize()");
  same_as_xof(kt.finalize_xof(), kt.finalize(), "Kt256::finalize()");
  const std::string custom = "S";
  same_as_xof(kt.finalize_xof(custom), kt.finalize(vexo::ByteSpan(vexo::byte_view(custom))),
              "Kt256::finalize(span)");
  same_as_xof(kt.finalize_xof(custom), kt.finalize(custom), "Kt256::finalize(string)");
#pragma GCC diagnostic pop
}

}  // namespace
