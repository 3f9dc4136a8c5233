// Inputs above 4 GiB, which no 32-bit length could hold. Labelled `large`:
// the default test run skips it (it takes about a minute).
//
// The input is one 1 MiB page-aligned pattern mapped again and again into a
// single range of address space, so it costs 1 MiB of memory however long it
// is. OpenSSL gets it in 1 MiB pieces, the library in one call.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "vexo/util/keccak.hpp"
#include "vexo/util/sha3.hpp"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr std::size_t kPattern = std::size_t{1} << 20;
constexpr std::size_t kCopies = 4097;  // 4 GiB + 1 MiB of address space
// Above 4 GiB, and not a multiple of any block size or of the pattern.
constexpr std::size_t kLength = (std::size_t{4} << 30) + kPattern - 77;

class RepeatedInput {
 public:
  RepeatedInput() {
    fd_ = memfd_create("vexo_sha3_large", 0);
    if (fd_ < 0 || ftruncate(fd_, kPattern) != 0) return;
    void* pattern = mmap(nullptr, kPattern, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (pattern == MAP_FAILED) return;
    auto* bytes = static_cast<unsigned char*>(pattern);
    std::uint32_t x = 12345;
    for (std::size_t i = 0; i < kPattern; ++i) {
      x = x * 1103515245U + 12345U;
      bytes[i] = static_cast<unsigned char>(x >> 16);
    }
    munmap(pattern, kPattern);
    void* range = mmap(nullptr, kCopies * kPattern, PROT_NONE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (range == MAP_FAILED) return;
    base_ = static_cast<unsigned char*>(range);
    for (std::size_t i = 0; i < kCopies; ++i) {
      if (mmap(base_ + i * kPattern, kPattern, PROT_READ, MAP_SHARED | MAP_FIXED, fd_, 0) ==
          MAP_FAILED) {
        munmap(base_, kCopies * kPattern);
        base_ = nullptr;
        return;
      }
    }
  }
  ~RepeatedInput() {
    if (base_ != nullptr) munmap(base_, kCopies * kPattern);
    if (fd_ >= 0) close(fd_);
  }
  RepeatedInput(const RepeatedInput&) = delete;
  RepeatedInput& operator=(const RepeatedInput&) = delete;

  const unsigned char* data() const { return base_; }

 private:
  int fd_ = -1;
  unsigned char* base_ = nullptr;
};

Bytes openssl_in_pieces(const EVP_MD* md, const unsigned char* in, std::size_t len,
                        std::size_t out_len, bool xof) {
  Bytes out(out_len);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EXPECT_EQ(EVP_DigestInit_ex(ctx, md, nullptr), 1);
  for (std::size_t done = 0; done < len; done += kPattern) {
    EXPECT_EQ(EVP_DigestUpdate(ctx, in + done, std::min(kPattern, len - done)), 1);
  }
  if (xof) {
    EXPECT_EQ(EVP_DigestFinalXOF(ctx, out.data(), out_len), 1);
  } else {
    EXPECT_EQ(EVP_DigestFinal_ex(ctx, out.data(), nullptr), 1);
  }
  EVP_MD_CTX_free(ctx);
  return out;
}

TEST(Sha3Large, InputsAboveFourGiB) {
  RepeatedInput input;
  ASSERT_NE(input.data(), nullptr) << "could not map the input";
  // The mapping really repeats the pattern.
  ASSERT_EQ(0, std::memcmp(input.data(), input.data() + 4096 * kPattern, kPattern));
  const tamu::span<const unsigned char> in(input.data(), kLength);

  const auto digest = vexo::sha3_256(in);
  EXPECT_EQ(Bytes(digest.begin(), digest.end()),
            openssl_in_pieces(EVP_sha3_256(), input.data(), kLength, 32, false));

  Bytes shake(300);
  ASSERT_TRUE(vexo::shake_128(in, shake));
  EXPECT_EQ(shake, openssl_in_pieces(EVP_shake128(), input.data(), kLength, 300, true));

  // The incremental sponge in one call of more than 4 GiB.
  vexo::keccak::SpongeInstance instance;
  ASSERT_EQ(0, vexo::keccak::SpongeInitialize(&instance, 1344, 256));
  ASSERT_EQ(0, vexo::keccak::SpongeAbsorb(&instance, input.data(), kLength));
  ASSERT_EQ(0, vexo::keccak::SpongeAbsorbLastFewBits(&instance, 0x1F));
  Bytes incremental(300);
  ASSERT_EQ(0, vexo::keccak::SpongeSqueeze(&instance, incremental.data(), incremental.size()));
  EXPECT_EQ(incremental, shake);
}

}  // namespace
