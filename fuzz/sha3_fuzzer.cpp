// SHA-3 and SHAKE on arbitrary input: the incremental sponge, fed in random
// pieces and read out in random pieces, gives the bytes of the one-shot
// function, and both give OpenSSL's.
#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "vexo/util/keccak.hpp"
#include "vexo/util/sha3.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

struct Function {
  unsigned int rate;
  unsigned char suffix;
  std::size_t digest;  // 0 for SHAKE
  const EVP_MD* (*md)();
};

const std::array<Function, 6> kFunctions = {{
    {1152, 0x06, 28, EVP_sha3_224},
    {1088, 0x06, 32, EVP_sha3_256},
    {832, 0x06, 48, EVP_sha3_384},
    {576, 0x06, 64, EVP_sha3_512},
    {1344, 0x1F, 0, EVP_shake128},
    {1088, 0x1F, 0, EVP_shake256},
}};

std::vector<unsigned char> one_shot(std::size_t index, tamu::span<const unsigned char> in,
                                    std::size_t out_len) {
  std::vector<unsigned char> out(out_len);
  bool ok = false;
  switch (index) {
    case 0:
      ok = vexo::sha3_224(in, tamu::span<unsigned char, 28>(out.data(), 28));
      break;
    case 1:
      ok = vexo::sha3_256(in, tamu::span<unsigned char, 32>(out.data(), 32));
      break;
    case 2:
      ok = vexo::sha3_384(in, tamu::span<unsigned char, 48>(out.data(), 48));
      break;
    case 3:
      ok = vexo::sha3_512(in, tamu::span<unsigned char, 64>(out.data(), 64));
      break;
    case 4:
      ok = vexo::shake_128(in, out);
      break;
    default:
      ok = vexo::shake_256(in, out);
      break;
  }
  check(ok);
  return out;
}

std::vector<unsigned char> openssl(const Function& f, tamu::span<const unsigned char> in,
                                   std::size_t out_len) {
  std::vector<unsigned char> out(out_len);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  check(ctx != nullptr);
  check(EVP_DigestInit_ex(ctx, f.md(), nullptr) == 1);
  check(EVP_DigestUpdate(ctx, in.data(), in.size()) == 1);
  if (f.digest == 0) {
    check(EVP_DigestFinalXOF(ctx, out.data(), out_len) == 1);
  } else {
    check(EVP_DigestFinal_ex(ctx, out.data(), nullptr) == 1);
  }
  EVP_MD_CTX_free(ctx);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::size_t index = provider.ConsumeIntegralInRange<std::size_t>(0, kFunctions.size() - 1);
  const Function& f = kFunctions[index];
  const std::size_t out_len =
      f.digest != 0 ? f.digest : provider.ConsumeIntegralInRange<std::size_t>(0, 700);
  // Piece sizes come from a generator seeded here, so that the message is
  // the whole rest of the input.
  std::uint64_t seed = provider.ConsumeIntegral<std::uint64_t>() | 1;
  const std::size_t block = f.rate / 8;
  auto next_piece = [&seed, block] {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    return static_cast<std::size_t>(seed % (2 * block + 2));
  };
  const std::vector<unsigned char> message = provider.ConsumeRemainingBytes<unsigned char>();
  const tamu::span<const unsigned char> in(message);

  const auto expected = one_shot(index, in, out_len);
  check(expected == openssl(f, in, out_len));

  vexo::keccak::SpongeInstance instance;
  std::fill_n(reinterpret_cast<unsigned char*>(&instance), sizeof instance, 0x5c);
  check(vexo::keccak::SpongeInitialize(&instance, f.rate, 1600 - f.rate) == 0);
  for (std::size_t done = 0; done < message.size();) {
    const std::size_t n = std::min(next_piece(), message.size() - done);
    check(vexo::keccak::SpongeAbsorb(&instance, message.data() + done, n) == 0);
    done += n;
  }
  check(vexo::keccak::SpongeAbsorbLastFewBits(&instance, f.suffix) == 0);
  check(vexo::keccak::SpongeAbsorb(&instance, message.data(), 0) == 1);
  std::vector<unsigned char> out(out_len);
  for (std::size_t done = 0; done < out_len;) {
    const std::size_t n = std::min(next_piece(), out_len - done);
    check(vexo::keccak::SpongeSqueeze(&instance, out.data() + done, n) == 0);
    done += n;
  }
  check(out == expected);
  return 0;
}
