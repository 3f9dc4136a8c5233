// cSHAKE, KMAC, TupleHash and ParallelHash: NIST's example values, a
// differential test against @noble/hashes at every boundary of the
// encodings, and streaming == one-shot == pool.
#include "vexo/util/cshake.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.hpp"
#include "vexo/util/ThreadPool.hpp"

namespace {

using vexo::test::Bytes;
using vexo::test::error_message;
using vexo::test::feed_with_copy;
using vexo::test::from_hex;
using vexo::test::random_bytes;

std::string hex(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// One call of one of the fourteen functions (cSHAKE has no XOF form of its
// own: it is one).
struct Case {
  std::string fn;  // noble's name: cshake128, kmac256xof, parallelhash128, ...
  Bytes input, key, name, custom;
  std::vector<Bytes> tuple;
  std::size_t block_size = 0;
  std::size_t out_len = 0;
};

bool is_256(const Case& c) { return c.fn.find("256") != std::string::npos; }
bool is_xof(const Case& c) { return c.fn.ends_with("xof"); }

// The one-shot function of the case, with `pool` for ParallelHash.
Bytes one_shot(const Case& c, vexo::util::ThreadPool* pool = nullptr) {
  Bytes out(c.out_len);
  const bool b256 = is_256(c);
  const bool xof = is_xof(c);
  using Span = vexo::ByteSpan;
  using Out = tamu::span<unsigned char>;
  if (c.fn.starts_with("cshake")) {
    using Fn = void (*)(Span, Span, Span, Out);
    const Fn f = b256 ? Fn{vexo::cshake_256} : Fn{vexo::cshake_128};
    f(c.input, c.name, c.custom, out);
  } else if (c.fn.starts_with("kmac")) {
    using Fn = void (*)(Span, Span, Span, Out);
    const Fn f = xof ? (b256 ? Fn{vexo::kmac_xof_256} : Fn{vexo::kmac_xof_128})
                     : (b256 ? Fn{vexo::kmac_256} : Fn{vexo::kmac_128});
    f(c.key, c.input, c.custom, out);
  } else if (c.fn.starts_with("tuplehash")) {
    std::vector<Span> elements(c.tuple.begin(), c.tuple.end());
    using Fn = void (*)(tamu::span<const Span>, Span, Out);
    const Fn f = xof ? (b256 ? Fn{vexo::tuple_hash_xof_256} : Fn{vexo::tuple_hash_xof_128})
                     : (b256 ? Fn{vexo::tuple_hash_256} : Fn{vexo::tuple_hash_128});
    f(elements, c.custom, out);
  } else {
    using Fn = void (*)(Span, std::size_t, Span, Out, vexo::util::ThreadPool*);
    const Fn f = xof ? (b256 ? Fn{vexo::parallel_hash_xof_256} : Fn{vexo::parallel_hash_xof_128})
                     : (b256 ? Fn{vexo::parallel_hash_256} : Fn{vexo::parallel_hash_128});
    f(c.input, c.block_size, c.custom, out, pool);
  }
  return out;
}

// The output of a finished streaming object: finalize(out) for the
// fixed-length forms, finalize_xof() read in two pieces for the XOFs.
template <typename Object>
Bytes finish(const Object& object, const Case& c) {
  Bytes out(c.out_len);
  if (is_xof(c)) {
    vexo::XofReader reader = object.finalize_xof();
    const std::size_t first = c.out_len / 3;
    reader.read(tamu::span<unsigned char>(out.data(), first));
    reader.read(tamu::span<unsigned char>(out.data() + first, c.out_len - first));
  } else {
    object.finalize(out);
  }
  return out;
}

// The case through its streaming object, the input in random pieces with a
// copy made on the way (test_support.hpp), then reset and fed again.
Bytes streamed(const Case& c, std::mt19937_64& rng, vexo::util::ThreadPool* pool = nullptr) {
  const auto limit = [&](std::mt19937_64& r) -> std::size_t { return 1 + r() % 3000; };
  const auto twice = [&](auto object) {
    auto copy = feed_with_copy(object, c.input, rng, limit, 77);
    const Bytes first = finish(copy, c);
    copy.reset();
    copy.update(c.input);
    EXPECT_EQ(finish(copy, c), first) << c.fn << " after reset()";
    return first;
  };
  const bool b256 = is_256(c);
  if (c.fn.starts_with("cshake")) {
    Bytes out(c.out_len);
    const auto read = [&](auto object) {
      auto copy = feed_with_copy(object, c.input, rng, limit, 77);
      copy.finalize_xof().read(out);
      return out;
    };
    return b256 ? read(vexo::Cshake256(c.name, c.custom)) : read(vexo::Cshake128(c.name, c.custom));
  }
  if (c.fn.starts_with("kmac")) {
    return b256 ? twice(vexo::Kmac256(c.key, c.custom)) : twice(vexo::Kmac128(c.key, c.custom));
  }
  if (c.fn.starts_with("tuplehash")) {
    const auto add_all = [&](auto object) {
      for (const Bytes& element : c.tuple) object.add(element);
      return finish(object, c);
    };
    return b256 ? add_all(vexo::TupleHash256(c.custom)) : add_all(vexo::TupleHash128(c.custom));
  }
  return b256 ? twice(vexo::ParallelHash256(c.block_size, c.custom, pool))
              : twice(vexo::ParallelHash128(c.block_size, c.custom, pool));
}

// ----------------------------------------------------------------------------
// NIST's example values
// ----------------------------------------------------------------------------

std::map<std::string, std::string> parse_record(const std::string& line) {
  std::map<std::string, std::string> fields;
  std::istringstream tokens(line);
  for (std::string token; tokens >> token;) {
    const auto eq = token.find('=');
    fields[token.substr(0, eq)] = token.substr(eq + 1);
  }
  return fields;
}

// Checks every record of tests/data/sp800-185/`file` through the one-shot
// function, the streaming object and the pool; returns the number of records.
int check_records(const std::string& file) {
  std::ifstream in(VEXO_TEST_DATA_DIR "/sp800-185/" + file);
  EXPECT_TRUE(in) << "missing tests/data/sp800-185/" << file;
  vexo::util::ThreadPool pool(2, 16);
  std::mt19937_64 rng(1);
  int count = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    auto f = parse_record(line);
    Case c;
    std::string fn = f["fn"];
    for (auto& ch : fn) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    // "kmacxof128" -> "kmac128xof", as noble names them.
    if (const auto pos = fn.find("xof"); pos != std::string::npos) {
      fn = fn.substr(0, pos) + fn.substr(pos + 3) + "xof";
    }
    c.fn = fn;
    c.input = from_hex(f["in"]);
    c.key = from_hex(f["key"]);
    c.name = from_hex(f["N"]);
    c.custom = from_hex(f["S"]);
    c.out_len = std::stoul(f["Lbits"]) / 8;
    if (!f["B"].empty()) c.block_size = std::stoul(f["B"]);
    if (!f["tuple"].empty()) {
      std::istringstream elements(f["tuple"]);
      for (std::string e; std::getline(elements, e, ',');) c.tuple.push_back(from_hex(e));
    }
    const std::string expected = f["out"];
    EXPECT_EQ(hex(one_shot(c)), expected) << f["id"];
    EXPECT_EQ(hex(streamed(c, rng)), expected) << f["id"] << " streamed";
    if (c.block_size != 0) {
      EXPECT_EQ(hex(one_shot(c, &pool)), expected) << f["id"] << " pool";
    }
    ++count;
  }
  return count;
}

TEST(Sp800185Kat, EveryNistExampleThroughOneShotStreamAndPool) {
  EXPECT_EQ(check_records("nist-samples.txt"), 40);
}

// Without @noble/hashes at hand, these committed outputs still catch a
// bytepad or a block count that is one off where the data ends on a block.
TEST(Sp800185Kat, EncodingsEndingOnABlockThroughOneShotStreamAndPool) {
  EXPECT_EQ(check_records("boundary-outputs.txt"), 8);
}

// ----------------------------------------------------------------------------
// Differential test against @noble/hashes
// ----------------------------------------------------------------------------

// The cases: every length at which an encoding changes size or a bytepad
// fills a whole block, plus or minus one, for both rates.
std::vector<Case> boundary_cases() {
  std::mt19937_64 rng(2);
  std::vector<Case> cases;
  const auto bytes = [&](std::size_t n) { return random_bytes(rng, n); };
  for (const int bits : {128, 256}) {
    const std::size_t rate = bits == 128 ? 168 : 136;
    const std::string b = std::to_string(bits);
    // bytepad(encode_string(N) || encode_string(S)) is 2 + 2 + 3 + |S| bytes
    // with an empty N and 32 <= |S| < 8192: one block at |S| = rate - 7.
    // KMAC's bytepad(encode_string(K)) is 2 + 3 + |K|: a block at rate - 5.
    // 31/32 and 255/256, where an encoded length grows, and over 512.
    const std::vector<std::size_t> strings = {
        0,        1,        31,       32,       255,          256, rate - 8,
        rate - 7, rate - 6, rate - 5, rate - 4, 2 * rate - 7, 600, 8192};
    const std::vector<std::size_t> inputs = {0, 1, rate - 1, rate, rate + 1, 3 * rate + 5};
    // 31 and 32 bytes: L = 248 and 256 bits, where right_encode(L) grows.
    const std::vector<std::size_t> outs = {1, 31, 32, rate + 1};
    for (std::size_t i = 0; i < strings.size(); ++i) {
      const std::size_t n = strings[i];
      const std::size_t input = inputs[i % inputs.size()];
      const std::size_t out = outs[i % outs.size()];
      cases.push_back({"cshake" + b, bytes(input), {}, {}, bytes(n), {}, 0, out});
      cases.push_back({"cshake" + b, bytes(input), {}, bytes(n), bytes(i % 3), {}, 0, out});
      for (const char* kind : {"kmac", "tuplehash", "parallelhash"}) {
        for (const char* xof : {"", "xof"}) {
          Case c{kind + b + xof, bytes(input), {}, {}, bytes(n), {}, 0, outs[(i + 1) % 4]};
          if (c.fn.starts_with("kmac")) c.key = bytes(strings[(i + 5) % strings.size()]);
          if (c.fn.starts_with("tuplehash")) {
            for (std::size_t e = 0; e < i % 4; ++e) c.tuple.push_back(bytes(strings[(i + e) % 7]));
          }
          if (c.fn.starts_with("parallelhash")) {
            static constexpr std::size_t kBlocks[] = {1, 7, 8, 64, 168, 1000, 8192};
            c.block_size = kBlocks[i % 7];
            c.input = bytes((i % 5) * c.block_size + (i % 3));
          }
          cases.push_back(std::move(c));
        }
      }
      // Keys around the block on their own, with an empty input.
      cases.push_back({"kmac" + b, {}, bytes(n), {}, {}, {}, 0, 32});
    }
    // ParallelHash: inputs of B - 1, B, B + 1, 4B, 4B + 1 and 9B + 3 bytes,
    // and runs long enough for the pool and the four-state groups.
    for (const std::size_t block : {8u, 13u, 136u, 168u, 8192u}) {
      for (const std::size_t blocks_plus :
           {block - 1, block, block + 1, 4 * block, 4 * block + 1, 9 * block + 3}) {
        cases.push_back({"parallelhash" + b,
                         bytes(blocks_plus),
                         {},
                         {},
                         bytes(blocks_plus % 40),
                         {},
                         block,
                         32});
      }
    }
    cases.push_back({"parallelhash" + b, bytes(300000), {}, {}, {}, {}, 8192, 64});
    cases.push_back({"parallelhash" + b + "xof", bytes(200003), {}, {}, bytes(5), {}, 1000, 200});
  }
  return cases;
}

// Runs the noble script on `cases` and returns its lines, or an empty list
// with `*skip` set when the reference is not installed.
std::vector<std::string> noble_outputs(const std::vector<Case>& cases, std::string* skip) {
  const char* dir = std::getenv("VEXO_NOBLE_DIR");
  if (dir == nullptr || !std::filesystem::exists(std::filesystem::path(dir) / "node_modules" /
                                                 "@noble" / "hashes" / "sha3-addons.js")) {
    *skip =
        "@noble/hashes is not installed: set VEXO_NOBLE_DIR to a directory of "
        "`npm install --prefix DIR @noble/hashes@2.4.0`";
    return {};
  }
  const auto requests = std::filesystem::temp_directory_path() /
                        ("vexo_cshake_test_" + std::to_string(::getpid()) + ".json");
  {
    std::ofstream out(requests);
    out << "[";
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const Case& c = cases[i];
      out << (i ? "," : "") << "{\"fn\":\"" << c.fn << "\",\"in\":\"" << hex(c.input)
          << "\",\"key\":\"" << hex(c.key) << "\",\"n\":\"" << hex(c.name) << "\",\"s\":\""
          << hex(c.custom) << "\",\"b\":" << c.block_size << ",\"len\":" << c.out_len
          << ",\"tuple\":[";
      for (std::size_t e = 0; e < c.tuple.size(); ++e) {
        out << (e ? "," : "") << "\"" << hex(c.tuple[e]) << "\"";
      }
      out << "]}";
    }
    out << "]";
  }
  const std::string command = std::string("node \"") + VEXO_TEST_DATA_DIR +
                              "/../noble_sp800_185.mjs\" \"" + dir + "\" < \"" + requests.string() +
                              "\"";
  std::vector<std::string> lines;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe != nullptr) {
    std::string line;
    for (int ch; (ch = std::fgetc(pipe)) != EOF;) {
      if (ch == '\n') {
        lines.push_back(line);
        line.clear();
      } else {
        line += static_cast<char>(ch);
      }
    }
    ::pclose(pipe);
  }
  std::filesystem::remove(requests);
  return lines;
}

TEST(Sp800185Differential, EncodingBoundariesAgainstNoble) {
  const std::vector<Case> cases = boundary_cases();
  std::string skip;
  const std::vector<std::string> expected = noble_outputs(cases, &skip);
  if (!skip.empty()) GTEST_SKIP() << skip;
  ASSERT_EQ(expected.size(), cases.size()) << "the noble script failed";
  vexo::util::ThreadPool pool(2, 16);
  std::mt19937_64 rng(3);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const std::string what = c.fn + " case " + std::to_string(i) + ": in " +
                             std::to_string(c.input.size()) + ", key " +
                             std::to_string(c.key.size()) + ", N " + std::to_string(c.name.size()) +
                             ", S " + std::to_string(c.custom.size()) + ", B " +
                             std::to_string(c.block_size) + ", out " + std::to_string(c.out_len);
    EXPECT_EQ(hex(one_shot(c)), expected[i]) << what;
    EXPECT_EQ(hex(streamed(c, rng, c.block_size != 0 ? &pool : nullptr)), expected[i]) << what;
    if (c.block_size != 0) {
      EXPECT_EQ(hex(one_shot(c, &pool)), expected[i]) << what << " pool";
    }
  }
}

// ----------------------------------------------------------------------------
// Contracts
// ----------------------------------------------------------------------------

TEST(Sp800185Contract, LengthsErrorsAndInputForms) {
  const Bytes key(32, 0x40);
  const std::string text = "abc";
  // The XOFs: a longer output starts with a shorter one; the fixed-length
  // forms bind the length, so they differ.
  Bytes short_out(20), long_out(300);
  vexo::kmac_xof_128(key, text, {}, short_out);
  vexo::kmac_xof_128(key, text, {}, long_out);
  EXPECT_TRUE(std::equal(short_out.begin(), short_out.end(), long_out.begin()));
  vexo::kmac_128(key, text, {}, short_out);
  vexo::kmac_128(key, text, {}, long_out);
  EXPECT_FALSE(std::equal(short_out.begin(), short_out.end(), long_out.begin()));
  // Empty outputs and inputs, with null data().
  vexo::kmac_128({}, {}, {}, {});
  vexo::parallel_hash_128(vexo::ByteSpan{}, 1, {}, {});

  EXPECT_EQ(error_message([] {
              std::array<unsigned char, 32> out;
              vexo::parallel_hash_128(vexo::ByteSpan{}, 0, {}, out);
            }),
            "Invalid ParallelHash block size: 0");
  EXPECT_EQ(error_message([] { vexo::ParallelHash256 object(0); }),
            "Invalid ParallelHash block size: 0");

  // A braced tuple, strings, and a tuple whose split differs.
  std::array<unsigned char, 32> ab_c, a_bc, whole;
  const Bytes a = {'a'}, ab = {'a', 'b'}, bc = {'b', 'c'}, c = {'c'};
  vexo::tuple_hash_128({ab, c}, {}, ab_c);
  vexo::tuple_hash_128({a, bc}, {}, a_bc);
  EXPECT_NE(ab_c, a_bc);
  vexo::TupleHash128 tuple;
  tuple.add(std::string_view("ab"));
  tuple.add(std::string("c"));
  tuple.finalize(whole);
  EXPECT_EQ(whole, ab_c);

  // The same bytes from every input form.
  std::array<unsigned char, 32> from_span, from_string, from_bytes;
  vexo::cshake_128(
      tamu::span<const unsigned char>(reinterpret_cast<const unsigned char*>("abc"), 3), {},
      vexo::byte_view(text), from_span);
  vexo::cshake_128(text, {}, vexo::byte_view(text), from_string);
  const std::array<std::byte, 3> raw = {std::byte{'a'}, std::byte{'b'}, std::byte{'c'}};
  vexo::cshake_128(tamu::span<const std::byte>(raw), {}, vexo::byte_view(text), from_bytes);
  EXPECT_EQ(from_span, from_string);
  EXPECT_EQ(from_span, from_bytes);
}

// ParallelHash over long inputs: every block size class (below a lane, odd,
// lane multiples, one rate, KT's chunk), with and without a pool and in
// random pieces, against the one-shot function on one thread.
TEST(Sp800185ParallelHash, PoolStreamAndOneShotAgree) {
  vexo::util::ThreadPool pool(2, 16);
  std::mt19937_64 rng(4);
  for (const std::size_t block : {1u, 3u, 8u, 100u, 168u, 4096u, 8192u}) {
    for (const bool b256 : {false, true}) {
      Case c{b256 ? "parallelhash256" : "parallelhash128",
             random_bytes(rng, 70000 + rng() % 300000),
             {},
             {},
             random_bytes(rng, rng() % 200),
             {},
             block,
             1 + rng() % 100};
      const Bytes expected = one_shot(c);
      EXPECT_EQ(one_shot(c, &pool), expected) << block;
      EXPECT_EQ(streamed(c, rng, &pool), expected) << block;
    }
  }
}

}  // namespace
