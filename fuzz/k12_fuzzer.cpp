// TurboSHAKE, KT, ParallelHash and KMAC on arbitrary input: the streaming
// objects, fed in random pieces and read out in random pieces, give the bytes
// of the one-shot functions, and the tree hashes (KT, ParallelHash) give the
// same bytes with a pool as without, one-shot and streaming. The fuzz input is
// stretched to messages of up to 40 KT chunks, so that the leaves, the groups
// of four and the pool all come into play; ParallelHash takes any block size
// up to 20000 bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "vexo/util/ThreadPool.hpp"
#include "vexo/util/cshake.hpp"
#include "vexo/util/k12.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

using Bytes = std::vector<unsigned char>;

// A xorshift generator for piece sizes and stretched bytes.
struct Rng {
  std::uint64_t state;
  std::uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
};

// `size` bytes that repeat `seed` (or count up if it is empty), each pass
// XORed with a different byte so that chunks differ.
Bytes stretch(const Bytes& seed, std::size_t size) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned char base = seed.empty() ? static_cast<unsigned char>(i) : seed[i % seed.size()];
    out[i] = static_cast<unsigned char>(base ^ (seed.empty() ? 0 : i / seed.size()));
  }
  return out;
}

// Feeds `message` in pieces of random size (up to `max_piece`) and reads
// `out_len` bytes in random pieces from the reader that `finish` returns.
template <typename Object, typename Finish>
Bytes streamed(Object object, const Bytes& message, std::size_t out_len, Rng& rng,
               std::size_t max_piece, Finish finish) {
  for (std::size_t done = 0; done < message.size();) {
    const std::size_t n = std::min(rng.below(max_piece + 1), message.size() - done);
    object.update(tamu::span<const unsigned char>(message.data() + done, n));
    done += n;
  }
  vexo::XofReader reader = finish(object);
  Bytes out(out_len);
  for (std::size_t done = 0; done < out_len;) {
    const std::size_t n = std::min(rng.below(400), out_len - done);
    reader.read(tamu::span<unsigned char>(out.data() + done, n));
    done += n;
  }
  return out;
}

// Feeds `message` in random pieces and writes the fixed-length output
// (KMAC, ParallelHash with L = out_len * 8).
template <typename Object>
Bytes streamed_fixed(Object object, const Bytes& message, std::size_t out_len, Rng& rng,
                     std::size_t max_piece) {
  for (std::size_t done = 0; done < message.size();) {
    const std::size_t n = std::min(rng.below(max_piece + 1), message.size() - done);
    object.update(tamu::span<const unsigned char>(message.data() + done, n));
    done += n;
  }
  Bytes out(out_len);
  object.finalize(out);
  return out;
}

vexo::util::ThreadPool& pool() {
  static vexo::util::ThreadPool instance(2, 8);
  return instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const int function = provider.ConsumeIntegralInRange<int>(0, 7);
  const std::size_t out_len = provider.ConsumeIntegralInRange<std::size_t>(0, 600);
  const std::size_t message_size = provider.ConsumeIntegralInRange<std::size_t>(0, 40 * 8192 + 7);
  const std::size_t custom_size = provider.ConsumeIntegralInRange<std::size_t>(0, 9000);
  const auto domain = provider.ConsumeIntegralInRange<unsigned char>(0x01, 0x7F);
  const std::size_t block_size = provider.ConsumeIntegralInRange<std::size_t>(1, 20000);
  const bool xof = provider.ConsumeBool();
  // Large pieces now and then, so that whole groups of chunks arrive at once.
  const std::size_t max_piece = provider.ConsumeBool() ? 200000 : 300;
  Rng rng{provider.ConsumeIntegral<std::uint64_t>() | 1};
  const Bytes seed = provider.ConsumeRemainingBytes<unsigned char>();
  const Bytes message = stretch(seed, message_size);
  const Bytes custom = stretch(Bytes(seed.rbegin(), seed.rend()), custom_size);

  Bytes expected(out_len);
  const auto finish_xof = [](const auto& xof) { return xof.finalize_xof(); };
  const auto finish_kt = [&custom](const auto& kt) { return kt.finalize_xof(custom); };
  switch (function) {
    case 0:
      check(vexo::turboshake_128(message, domain, expected));
      check(streamed(vexo::TurboShake128(domain), message, out_len, rng, max_piece, finish_xof) ==
            expected);
      break;
    case 1:
      check(vexo::turboshake_256(message, domain, expected));
      check(streamed(vexo::TurboShake256(domain), message, out_len, rng, max_piece, finish_xof) ==
            expected);
      break;
    case 2: {
      check(vexo::kt_128(message, custom, expected));
      Bytes pooled(out_len);
      check(vexo::kt_128(message, custom, pooled, &pool()));
      check(pooled == expected);
      check(streamed(vexo::Kt128(), message, out_len, rng, max_piece, finish_kt) == expected);
      check(streamed(vexo::Kt128(&pool()), message, out_len, rng, max_piece, finish_kt) ==
            expected);
      break;
    }
    case 3: {
      check(vexo::kt_256(message, custom, expected));
      Bytes pooled(out_len);
      check(vexo::kt_256(message, custom, pooled, &pool()));
      check(pooled == expected);
      check(streamed(vexo::Kt256(), message, out_len, rng, max_piece, finish_kt) == expected);
      check(streamed(vexo::Kt256(&pool()), message, out_len, rng, max_piece, finish_kt) ==
            expected);
      break;
    }
    case 4:
    case 5: {
      const bool b256 = function == 5;
      using Fn = void (*)(vexo::ByteSpan, std::size_t, vexo::ByteSpan, tamu::span<unsigned char>,
                          vexo::util::ThreadPool*);
      const Fn one_shot =
          b256 ? (xof ? Fn{vexo::parallel_hash_xof_256} : Fn{vexo::parallel_hash_256})
               : (xof ? Fn{vexo::parallel_hash_xof_128} : Fn{vexo::parallel_hash_128});
      one_shot(message, block_size, custom, expected, nullptr);
      Bytes pooled(out_len);
      one_shot(message, block_size, custom, pooled, &pool());
      check(pooled == expected);
      for (vexo::util::ThreadPool* p : {static_cast<vexo::util::ThreadPool*>(nullptr), &pool()}) {
        if (xof) {
          const auto finish = [](const auto& ph) { return ph.finalize_xof(); };
          check((b256 ? streamed(vexo::ParallelHash256(block_size, custom, p), message, out_len,
                                 rng, max_piece, finish)
                      : streamed(vexo::ParallelHash128(block_size, custom, p), message, out_len,
                                 rng, max_piece, finish)) == expected);
        } else {
          check((b256 ? streamed_fixed(vexo::ParallelHash256(block_size, custom, p), message,
                                       out_len, rng, max_piece)
                      : streamed_fixed(vexo::ParallelHash128(block_size, custom, p), message,
                                       out_len, rng, max_piece)) == expected);
        }
      }
      break;
    }
    case 6:
    case 7: {
      // The customization's tail is the key, so that keys of every length
      // around the rate come up.
      const bool b256 = function == 7;
      const std::size_t key_size = std::min<std::size_t>(custom.size(), rng.below(600));
      const tamu::span<const unsigned char> key(custom.data() + custom.size() - key_size, key_size);
      const tamu::span<const unsigned char> s(custom.data(), custom.size() - key_size);
      using Fn =
          void (*)(vexo::ByteSpan, vexo::ByteSpan, vexo::ByteSpan, tamu::span<unsigned char>);
      const Fn one_shot = b256 ? (xof ? Fn{vexo::kmac_xof_256} : Fn{vexo::kmac_256})
                               : (xof ? Fn{vexo::kmac_xof_128} : Fn{vexo::kmac_128});
      one_shot(key, message, s, expected);
      if (xof) {
        const auto finish = [](const auto& mac) { return mac.finalize_xof(); };
        check((b256 ? streamed(vexo::Kmac256(key, s), message, out_len, rng, max_piece, finish)
                    : streamed(vexo::Kmac128(key, s), message, out_len, rng, max_piece, finish)) ==
              expected);
      } else {
        check((b256 ? streamed_fixed(vexo::Kmac256(key, s), message, out_len, rng, max_piece)
                    : streamed_fixed(vexo::Kmac128(key, s), message, out_len, rng, max_piece)) ==
              expected);
      }
      break;
    }
  }
  return 0;
}
